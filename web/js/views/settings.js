// The settings form. Each field is one entry of a list (key, control, read, write, check);
// a new setting is a new entry, and "set_system" carries whatever the list holds.

import { el, setText } from "../dom.js";
import {
    BAUD_RATES, CHANNELS, MODES, PARITIES, allowListProblem, destinationProblem, failsafeTimeoutProblem,
    setSystemMessage, splitAllowList,
} from "../protocol.js";

let nextId = 0;

function described(control, hintText) {
    const id = `f${++nextId}`;
    const hint = el("p", { class: "hint", id: id + "-hint", text: hintText || "" });
    const error = el("p", { class: "error", id: id + "-error", hidden: true });
    control.id = id;
    control.setAttribute("aria-describedby", `${id}-hint ${id}-error`);
    return { id, hint, error };
}

function showProblem(control, error, problem) {
    error.hidden = !problem;
    setText(error, problem ? "⚠ " + problem : "");
    if (problem) control.setAttribute("aria-invalid", "true");
    else control.removeAttribute("aria-invalid");
}

export function textField({ key, label, hint, check = () => "", attributes = {} }) {
    const input = el("input", { type: "text", name: key, autocomplete: "off", spellcheck: "false", ...attributes });
    const d = described(input, hint);
    return {
        key,
        node: el("div", { class: "field" }, el("label", { for: d.id, text: label }), input, d.hint, d.error),
        read: () => input.value.trim(),
        write: (value) => { input.value = value ?? ""; },
        check: (values) => { const p = check(values); showProblem(input, d.error, p); return p; },
        focus: () => input.focus(),
        control: input,
    };
}

export function choiceField({ key, label, hint, options }) {
    const select = el("select", { name: key },
        ...options.map((o) => el("option", { value: String(o.value), text: o.label })));
    const d = described(select, hint);
    return {
        key,
        node: el("div", { class: "field" }, el("label", { for: d.id, text: label }), select, d.hint, d.error),
        read: () => Number(select.value),
        write: (value) => {
            if (value === null) return;
            // A value the page has no name for is shown, and kept, as it is.
            if (![...select.options].some((o) => o.value === String(value))) {
                select.append(el("option", { value: String(value), text: `Unknown (${value})` }));
            }
            select.value = String(value);
        },
        check: () => "",
        focus: () => select.focus(),
        control: select,
    };
}

export function namesField({ key, legend, prefix }) {
    const inputs = Array.from({ length: CHANNELS }, (_, i) =>
        el("input", { type: "text", name: `${key}_${i}`, id: `${key}-${i}`, autocomplete: "off", maxlength: "64" }));
    const rows = inputs.map((input, i) =>
        el("div", { class: "name-field" }, el("label", { for: input.id, text: `${prefix} ${i + 1}` }), input));
    return {
        key,
        node: el("fieldset", { class: "names" }, el("legend", { text: legend }), ...rows),
        read: () => inputs.map((input) => input.value),
        write: (names) => inputs.forEach((input, i) => { input.value = names?.[i] ?? ""; }),
        check: () => "",
        focus: () => inputs[0].focus(),
        control: inputs[0],
    };
}

export function numberField({ key, label, hint, check = () => "" }) {
    const field = textField({ key, label, hint, attributes: { inputmode: "numeric" },
        check: (values) => check(values[key]) });
    // Anything but plain digits reads as NaN, which the check refuses.
    field.read = () => (/^[0-9]{1,9}$/.test(field.control.value.trim()) ? Number(field.control.value.trim()) : NaN);
    field.write = (value) => { field.control.value = value === null || value === undefined ? "" : String(value); };
    return field;
}

export function listField({ key, label, hint, check = () => "" }) {
    const area = el("textarea", { name: key, rows: "3", autocomplete: "off", spellcheck: "false" });
    const d = described(area, hint);
    return {
        key,
        node: el("div", { class: "field" }, el("label", { for: d.id, text: label }), area, d.hint, d.error),
        read: () => splitAllowList(area.value),
        write: (list) => { area.value = (list ?? []).join("\n"); },
        check: (values) => { const p = check(values[key]); showProblem(area, d.error, p); return p; },
        focus: () => area.focus(),
        control: area,
    };
}

export function statesField({ key, legend, prefix }) {
    const boxes = Array.from({ length: CHANNELS }, (_, i) =>
        el("input", { type: "checkbox", name: `${key}_${i}`, id: `${key}-${i}` }));
    const rows = boxes.map((box, i) =>
        el("div", { class: "state-field" }, box, el("label", { for: box.id, text: `${prefix} ${i + 1} on` })));
    return {
        key,
        node: el("fieldset", { class: "states" }, el("legend", { text: legend }), ...rows),
        read: () => boxes.map((box) => (box.checked ? 1 : 0)),
        write: (states) => boxes.forEach((box, i) => { box.checked = Boolean(states?.[i]); }),
        check: () => "",
        focus: () => boxes[0].focus(),
        control: boxes[0],
    };
}

const OFF_ON = [{ value: 0, label: "Off" }, { value: 1, label: "On" }];

/** The optional features: each off by default, and shown apart from the everyday settings. */
export function advancedFields() {
    const fields = [
        numberField({
            key: "failsafe_timeout", label: "Fail-safe delay (seconds)",
            hint: "In client or server mode, once the link has been down this long the outputs go to " +
                "the safe states below. 0 switches this off.",
            check: failsafeTimeoutProblem,
        }),
        statesField({ key: "failsafe_gpo", legend: "Safe output states", prefix: "Output" }),
        listField({
            key: "link_allow", label: "Units allowed to connect (server mode)",
            hint: "IPv4 addresses or ranges such as 192.168.1.0/24, separated by commas or one a line. " +
                "Empty lets any unit connect.",
            check: allowListProblem,
        }),
        textField({
            key: "web_key", label: "Access key for this page",
            hint: "Empty leaves the page open to anyone on the network. After a change, this browser " +
                "reconnects with the new key; others are asked for it.",
            attributes: { maxlength: "128" },
        }),
        choiceField({
            key: "event_history", label: "Event history",
            hint: "Keeps the last 1,000 changes of inputs, outputs, link and mode in memory (lost on restart).",
            options: OFF_ON,
        }),
        choiceField({
            key: "rs232_immediate", label: "RS-232 immediate forwarding",
            hint: "Sends received RS-232 bytes at once instead of every 10 ms: lower latency, more packets.",
            options: OFF_ON,
        }),
    ];
    for (const f of fields) f.advanced = true;
    return fields;
}

export function defaultFields() {
    return [
        textField({
            key: "dst_ip", label: "Destination address",
            hint: "IPv4 address of the unit this one connects to in client mode, e.g. 192.168.1.20.",
            check: (v) => destinationProblem(v.dst_ip, v.system_mode),
            attributes: { inputmode: "decimal", placeholder: "192.168.1.20" },
        }),
        choiceField({
            key: "system_mode", label: "Operating mode",
            hint: "Client connects to the destination address, server waits for a client, " +
                "standalone is not paired. Changing the mode switches every output off.",
            options: MODES.map((m) => ({ value: m.value, label: m.label })),
        }),
        choiceField({
            key: "baudrate", label: "RS-232 baud rate",
            options: BAUD_RATES.map((rate, i) => ({ value: i, label: `${rate} bit/s` })),
        }),
        choiceField({
            key: "parity", label: "RS-232 parity",
            options: PARITIES.map((p, i) => ({ value: i, label: p })),
        }),
        namesField({ key: "gpi_names", legend: "Input names", prefix: "Input" }),
        namesField({ key: "gpo_names", legend: "Output names", prefix: "Output" }),
        ...advancedFields(),
    ];
}

/**
 * `onSent(values, unit)` runs once a "set_system" went out, with what it carried and the
 * unit's settings before it (the page keeps a changed access key for its next connection).
 */
export function mountSettings(root, connection, fields = defaultFields(), onSent = () => {}) {
    const status = el("p", { id: "save-status", role: "status", "aria-live": "polite" });
    const changed = el("p", { class: "note", hidden: true,
        text: "The unit's settings were changed elsewhere while you edited. \"Undo changes\" shows them." });
    const save = el("button", { type: "submit", class: "primary", text: "Save settings" });
    const undo = el("button", { type: "button", text: "Undo changes" });
    const waiting = el("p", { class: "note", text: "Waiting for the unit's settings…" });
    const form = el("form", { id: "settings-form", novalidate: true, hidden: true },
        el("div", { class: "settings-basic" },
            ...fields.filter((f) => !f.advanced && f.node.tagName !== "FIELDSET").map((f) => f.node)),
        el("div", { class: "settings-names" },
            ...fields.filter((f) => !f.advanced && f.node.tagName === "FIELDSET").map((f) => f.node)),
        el("fieldset", { class: "settings-advanced", id: "settings-advanced" },
            el("legend", { text: "Advanced (off by default)" }),
            ...fields.filter((f) => f.advanced).map((f) => f.node)),
        changed,
        el("div", { class: "actions" }, save, undo, status));
    root.append(waiting, form);

    let unit = null;        // the unit's settings as last reported
    let edited = false;     // the form holds changes not yet saved
    let awaiting = false;   // saved; the unit's answer is due

    function show(system) {
        for (const f of fields) f.write(system[f.key]);
        for (const e of form.querySelectorAll(".error")) e.hidden = true;
        for (const c of form.querySelectorAll("[aria-invalid]")) c.removeAttribute("aria-invalid");
        edited = false;
        changed.hidden = true;
    }

    form.addEventListener("input", () => { edited = true; setText(status, ""); });
    form.addEventListener("change", () => { edited = true; });
    undo.addEventListener("click", () => { if (unit) show(unit); setText(status, ""); });

    form.addEventListener("submit", (event) => {
        event.preventDefault();
        const values = Object.fromEntries(fields.map((f) => [f.key, f.read()]));
        const bad = fields.filter((f) => f.check(values));
        if (bad.length) {
            setText(status, "Not saved: please correct the marked field.");
            bad[0].focus();
            return;
        }
        if (!connection.send(setSystemMessage(values))) {
            setText(status, "Not saved: not connected to the unit.");
            return;
        }
        onSent(values, unit);
        awaiting = true;
        edited = false;
        setText(status, "Saving…");
    });

    return function render({ system }) {
        if (!system || system === unit) return;
        unit = system;
        waiting.hidden = true;
        form.hidden = false;
        if (awaiting || !edited) {
            show(system);
            if (awaiting) setText(status, "Saved.");
            awaiting = false;
        } else {
            changed.hidden = false;
        }
    };
}
