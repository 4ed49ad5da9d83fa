// Asks for the unit's access key when the unit refuses the connection for the lack of it.

import { el, setText } from "../dom.js";

/**
 * Shows the dialog while the connection is "refused"; `onKey(key)` gets what was entered.
 * `hadKey()` tells whether the refused attempt carried a key (then it was wrong).
 */
export function mountKey(dialog, hadKey, onKey) {
    const input = el("input", { type: "password", id: "key-input", name: "key", autocomplete: "current-password",
        "aria-describedby": "key-why", required: true });
    const why = el("p", { id: "key-why", role: "alert" });
    const form = el("form", { method: "dialog", id: "key-form" },
        el("h2", { id: "key-heading", text: "Access key" }),
        why,
        el("div", { class: "field" }, el("label", { for: "key-input", text: "Key" }), input),
        el("div", { class: "actions" }, el("button", { type: "submit", class: "primary", text: "Connect" })));
    dialog.append(form);
    // The page cannot work without the key, so Escape does not dismiss the question.
    dialog.addEventListener("cancel", (event) => event.preventDefault());
    form.addEventListener("submit", (event) => {
        event.preventDefault();
        if (input.value === "") {
            input.focus();
            return;
        }
        const key = input.value;
        input.value = "";
        dialog.close();
        onKey(key);
    });

    return function render({ connection: conn }) {
        const refused = conn.state === "refused";
        if (refused && !dialog.open) {
            setText(why, hadKey() ? "That key was wrong. Please enter the unit's access key again."
                : "This unit asks for an access key.");
            dialog.showModal();
            input.focus();
        } else if (!refused && dialog.open) {
            dialog.close();
        }
    };
}
