// Wires the page: one connection to the unit, one store, and the views that draw from it.
// A further panel is one more mount function subscribed to the store.

import { UnitConnection, unitUrl } from "./connection.js";
import { createStore } from "./store.js";
import { mountIo } from "./views/io.js";
import { mountSettings } from "./views/settings.js";
import { mountStatus } from "./views/status.js";

const url = unitUrl(window.location);
const connection = new UnitConnection(url);
const store = createStore({ connection: { state: "connecting", retryInMs: null, url }, gpio: null, system: null });

connection.addEventListener("state", (e) => {
    store.update({ connection: { ...e.detail, url } });
});
connection.addEventListener("message", (e) => {
    const { type, data } = e.detail;
    if (type === "gpio" || type === "system") store.update({ [type]: data });
});

const views = [
    mountStatus(document.getElementById("status"), connection),
    mountIo(document.getElementById("inputs"), document.getElementById("outputs"), store, connection),
    mountSettings(document.getElementById("settings"), connection),
];
for (const render of views) store.subscribe(render);
document.getElementById("unit-address").textContent = url;
connection.start();
