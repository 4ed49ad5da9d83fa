// Wires the page: one connection to the unit, one store, and the views that draw from it.
// A further panel is one more mount function subscribed to the store.

import { UnitConnection, unitUrl } from "./connection.js";
import { createStore } from "./store.js";
import { mountHistory } from "./views/history.js";
import { mountIo } from "./views/io.js";
import { mountKey } from "./views/key.js";
import { defaultFields, mountSettings } from "./views/settings.js";
import { mountStatus } from "./views/status.js";

// The access key lives until the tab is closed, and only for this unit's address.
const url = unitUrl(window.location);
const KEY_ITEM = "tolvane-web-key " + url;

function storedKey() {
    try {
        return sessionStorage.getItem(KEY_ITEM) || "";
    } catch {
        return "";
    }
}

function storeKey(key) {
    try {
        if (key) sessionStorage.setItem(KEY_ITEM, key);
        else sessionStorage.removeItem(KEY_ITEM);
    } catch {
        // Storage off: the key is asked again after a reload.
    }
}

const connection = new UnitConnection(url);
connection.setKey(storedKey());
const store = createStore({ connection: { state: "connecting", retryInMs: null, url },
    gpio: null, system: null, history: null });

connection.addEventListener("state", (e) => {
    store.update({ connection: { ...e.detail, url } });
});
connection.addEventListener("message", (e) => {
    const { type, data } = e.detail;
    if (type === "gpio" || type === "system" || type === "history") store.update({ [type]: data });
});

function keySent(values, unit) {
    // This browser follows a key it changed itself; the unit asks everyone else.
    if (unit && values.web_key !== unit.web_key) {
        storeKey(values.web_key);
        connection.setKey(values.web_key);
    }
}

const views = [
    mountStatus(document.getElementById("status"), connection),
    mountIo(document.getElementById("inputs"), document.getElementById("outputs"), store, connection),
    mountHistory(document.getElementById("history"), store, connection),
    mountSettings(document.getElementById("settings"), connection, defaultFields(), keySent),
    mountKey(document.getElementById("key-dialog"), () => connection.key !== "", (key) => {
        storeKey(key);
        connection.setKey(key);
    }),
];
for (const render of views) store.subscribe(render);
document.getElementById("unit-address").textContent = url;
connection.start();
