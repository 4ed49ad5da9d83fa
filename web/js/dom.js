// Small helpers to build elements. Text from the unit (names, versions) only ever goes in
// as text, never as markup.

export function el(tag, attributes = {}, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attributes)) {
        if (value === false || value === null || value === undefined) continue;
        if (key === "class") node.className = value;
        else if (key === "text") node.textContent = value;
        else if (key.startsWith("on")) node.addEventListener(key.slice(2), value);
        else node.setAttribute(key, value === true ? "" : value);
    }
    for (const child of children) {
        if (child !== null && child !== undefined) node.append(child);
    }
    return node;
}

export function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
}
