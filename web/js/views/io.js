// The eight inputs and eight outputs; outputs are switches while the unit takes them from here.

import { el, setText } from "../dom.js";
import { CHANNELS, MODE_CLIENT, MODE_SERVER, MODE_STANDALONE, setGpoMessage } from "../protocol.js";

function stateWords(value) {
    if (value === null || value === undefined) return { on: "unknown", text: "Unknown" };
    if (value === 0) return { on: "false", text: "Off" };
    return { on: "true", text: value === 1 ? "On" : `On (${value})` };
}

/** Why the outputs cannot be switched from this page, or "" when they can. */
export function outputsLockedReason(connected, system) {
    if (!connected) return "Not connected to the unit, so the outputs cannot be switched.";
    if (!system) return "Waiting for the unit's settings.";
    const mode = system.system_mode;
    if (mode === MODE_STANDALONE) return "";
    if (mode === MODE_CLIENT) {
        return `Client mode: the outputs follow the inputs of the unit at ${system.dst_ip || "(no address set)"}. ` +
            "Choose standalone mode in the settings to switch them here.";
    }
    if (mode === MODE_SERVER) {
        return "Server mode: the outputs follow the inputs of the paired unit. " +
            "Choose standalone mode in the settings to switch them here.";
    }
    return `The unit is in an unknown mode (${mode}). Choose standalone mode in the settings to switch the outputs here.`;
}

function channelRow(kind, i) {
    const id = `${kind}-${i + 1}`;
    const name = el("span", { class: "name", id: id + "-name" });
    const label = el("span", { class: "num", id: id + "-num" },
        el("span", { class: "visually-hidden", text: kind === "gpi" ? "Input " : "Output " }), String(i + 1));
    const stateText = el("span", { class: "state-text" });
    const shape = el("span", { class: "shape", "aria-hidden": "true" });
    let state;
    if (kind === "gpi") {
        state = el("span", { class: "state" }, shape, stateText);
    } else {
        state = el("button", { type: "button", class: "state switch", role: "switch", "aria-checked": "false",
            "aria-labelledby": `${id}-num ${id}-name`, "aria-describedby": "outputs-why" }, shape, stateText);
    }
    const row = el("li", { class: "channel", id, "data-on": "unknown" }, label, name, state);
    return { row, name, stateText, state };
}

export function mountIo(inputsRoot, outputsRoot, store, connection) {
    const inputs = Array.from({ length: CHANNELS }, (_, i) => channelRow("gpi", i));
    const outputs = Array.from({ length: CHANNELS }, (_, i) => channelRow("gpo", i));
    const why = el("p", { id: "outputs-why", class: "note" });
    const failsafe = el("p", { id: "failsafe", class: "failsafe", role: "status", hidden: true },
        "⚠ Safe state: the link to the paired unit is down, so the outputs are held in their safe states.");
    inputsRoot.append(el("ol", { class: "channels" }, ...inputs.map((c) => c.row)));
    outputsRoot.append(failsafe, why, el("ol", { class: "channels" }, ...outputs.map((c) => c.row)));

    outputs.forEach((c, i) => c.state.addEventListener("click", () => {
        const value = store.get().gpio?.gpo[i];
        connection.send(setGpoMessage(i, value ? 0 : 1));
    }));

    return function render({ connection: conn, gpio, system }) {
        const live = conn.state === "open";
        inputsRoot.dataset.stale = outputsRoot.dataset.stale = String(!live || !gpio);
        const draw = (channels, values, names) => channels.forEach((c, i) => {
            const w = stateWords(live && values ? values[i] : null);
            c.row.dataset.on = w.on;
            setText(c.stateText, w.text);
            setText(c.name, names ? names[i] : "");
            if (c.state.getAttribute("role") === "switch") c.state.setAttribute("aria-checked", String(w.on === "true"));
        });
        draw(inputs, gpio?.gpi, system?.gpi_names);
        draw(outputs, gpio?.gpo, system?.gpo_names);

        failsafe.hidden = !(live && gpio?.failsafe === 1);
        outputsRoot.dataset.failsafe = String(!failsafe.hidden);

        const reason = outputsLockedReason(live, system);
        setText(why, reason);
        why.hidden = !reason;
        for (const c of outputs) c.state.disabled = Boolean(reason) || !gpio;
    };
}
