// The connection banner, the two link indicators and the versions.

import { el, setText } from "../dom.js";
import { MODE_CLIENT, MODE_SERVER, MODES } from "../protocol.js";

const CONNECTION_TEXT = {
    connecting: "Connecting to the unit…",
    open: "Connected to the unit",
    closed: "Disconnected from the unit. Reconnecting by itself.",
    refused: "The unit asks for an access key.",
};

function indicator(id, label) {
    const value = el("span", { class: "value" });
    const node = el("div", { class: "indicator", id, "data-on": "unknown" },
        el("span", { class: "shape", "aria-hidden": "true" }),
        el("span", { class: "label", text: label }), " ", value);
    return { node, value };
}

function linkMeaning(mode) {
    if (mode === MODE_CLIENT || mode === MODE_SERVER) return "paired unit";
    return "control panel";
}

export function mountStatus(root, connection) {
    const message = el("span", { class: "message" });
    const countdown = el("span", { class: "countdown" });
    const retry = el("button", { type: "button", class: "retry", text: "Retry now", hidden: true,
        onclick: () => connection.retryNow() });
    const banner = el("div", { id: "connection", class: "banner", "data-state": "connecting" },
        el("span", { class: "shape", "aria-hidden": "true" }),
        el("span", { role: "status", "aria-live": "polite" }, message), " ", countdown, " ", retry);

    const link = indicator("link", "Link");
    const rs232 = indicator("rs232", "RS-232");
    const mode = el("span", { id: "mode" });
    const version = el("span", { id: "version" });
    const version2 = el("span", { id: "version2" });
    const facts = el("dl", { class: "facts" },
        el("dt", { text: "Mode" }), el("dd", {}, mode),
        el("dt", { text: "Software" }), el("dd", {}, version),
        el("dt", { text: "I/O controller" }), el("dd", {}, version2));
    root.append(banner, el("div", { class: "indicators" }, link.node, rs232.node), facts);

    let retryAt = 0;
    let ticker = 0;
    let trying = false;
    function tick() {
        const left = Math.max(0, Math.ceil((retryAt - Date.now()) / 1000));
        setText(countdown, trying ? "Trying now…" : left > 0 ? `Next try in ${left} s.` : "");
    }

    return function render({ connection: conn, gpio, system }) {
        banner.dataset.state = conn.state;
        document.body.dataset.connection = conn.state;
        setText(message, CONNECTION_TEXT[conn.state]);
        retry.hidden = conn.state !== "closed" || conn.retryInMs === 0;
        clearInterval(ticker);
        trying = conn.state === "closed" && conn.retryInMs === 0;
        retryAt = conn.state === "closed" && conn.retryInMs ? Date.now() + conn.retryInMs : 0;
        tick();
        if (retryAt) ticker = setInterval(tick, 1000);

        const live = conn.state === "open";
        const m = system ? system.system_mode : null;
        for (const [ind, on, onText, offText] of [
            [link, gpio?.link, `Connected (${linkMeaning(m)})`, `Not connected (${linkMeaning(m)})`],
            [rs232, gpio?.rs232_link, "Data in the last 10 s", "Idle"],
        ]) {
            const known = live && on !== null && on !== undefined;
            ind.node.dataset.on = known ? String(on !== 0) : "unknown";
            setText(ind.value, known ? (on !== 0 ? onText : offText) : "Unknown");
        }
        const modeInfo = MODES.find((x) => x.value === m);
        let modeText = modeInfo ? `${modeInfo.label}: ${modeInfo.hint}` : `Unknown mode ${m}`;
        if (m === MODE_CLIENT) modeText = `Client: connects to the unit at ${system.dst_ip || "(no address set)"}`;
        setText(mode, system ? modeText : "…");
        setText(version, system?.version || "…");
        setText(version2, system ? (system.version2 || "not reported yet") : "…");
    };
}
