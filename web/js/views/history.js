// The unit's recent changes, newest first, and their download as CSV. The unit keeps them only
// while its event history is on; otherwise it does not answer, so the panel says so instead.

import { el, setText } from "../dom.js";
import { getHistoryMessage, historyCsv, newestFirst } from "../protocol.js";

/** A history event's "what" in the page's words: "gpo 3" is "Output 3". */
export function describeWhat(what) {
    const m = /^(gpi|gpo) ([0-9]+)$/.exec(what);
    if (m) return (m[1] === "gpi" ? "Input " : "Output ") + m[2];
    if (what === "link") return "Link";
    if (what === "mode") return "Mode";
    return what;
}

function eventRow(e) {
    const when = new Date(e.time);
    return el("li", { "data-what": e.what },
        el("time", { datetime: when.toISOString(), text: when.toLocaleString() }),
        `${describeWhat(e.what)}: ${e.old ?? "?"} → ${e.new ?? "?"}`,
        e.source ? ` (${e.source})` : "");
}

export function mountHistory(root, store, connection) {
    const refresh = el("button", { type: "button", id: "history-refresh", text: "Refresh" });
    const save = el("button", { type: "button", id: "history-csv", text: "Save as CSV", disabled: true });
    const note = el("p", { id: "history-note", class: "note", role: "status" });
    const list = el("ol", { id: "history-list", class: "timeline", "aria-label": "Changes, newest first" });
    root.append(el("div", { class: "history-actions" }, refresh, save), note, list);

    let shown = null;      // the "history" drawn last
    let askedOn = null;    // the "system" under which the last request went out

    function ask() {
        if (connection.send(getHistoryMessage())) askedOn = store.get().system;
    }
    refresh.addEventListener("click", ask);
    save.addEventListener("click", () => {
        if (!shown) return;
        const blob = new Blob([historyCsv(newestFirst(shown.events))], { type: "text/csv" });
        const url = URL.createObjectURL(blob);
        const stamp = new Date().toISOString().replace(/[:.]/g, "-");
        const link = el("a", { href: url, download: `tolvane-history-${stamp}.csv`, hidden: true });
        document.body.append(link);
        link.click();
        link.remove();
        setTimeout(() => URL.revokeObjectURL(url), 10000);
    });

    return function render({ connection: conn, system, history }) {
        const live = conn.state === "open";
        const on = system?.event_history === 1;
        refresh.disabled = !live || !on;
        if (!system) {
            setText(note, "Waiting for the unit's settings…");
        } else if (!on) {
            setText(note, "The history is off on this unit. \"Event history\" in the advanced settings switches it on.");
        } else if (!history) {
            setText(note, "Asking the unit for its history…");
        } else {
            setText(note, history.events.length ? `${history.events.length} changes, newest first.`
                : "No changes recorded yet.");
        }
        // First request on every connection that finds the history on.
        if (live && on && askedOn === null) ask();
        if (!live) askedOn = null;
        if (history !== shown) {
            shown = history;
            list.replaceChildren(...(history ? newestFirst(history.events).map(eventRow) : []));
        }
        list.hidden = !on || !history;
        save.disabled = !on || !history || !history.events.length;
    };
}
