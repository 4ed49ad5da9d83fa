// The page's DOM-free modules under node's test runner: message parsing and building, the
// destination check, the unit's address, and the connection's keepalive and reconnection
// against a stand-in WebSocket.

import assert from "node:assert/strict";
import { test } from "node:test";

import { UnitConnection, backoffDelay, unitUrl } from "../../web/js/connection.js";
import {
    MODE_CLIENT, MODE_SERVER, MODE_STANDALONE, SYSTEM_SETTINGS, destinationProblem, parseMessage,
    setGpoMessage, setSystemMessage,
} from "../../web/js/protocol.js";

// Node 18 (Debian 12's) has Event and EventTarget but no global CustomEvent.
globalThis.CustomEvent ??= class extends Event {
    constructor(type, init) {
        super(type, init);
        this.detail = init?.detail ?? null;
    }
};

const SYSTEM = {
    version: "1.9-r1 (Jun 24 2024)", version2: "", dst_ip: "10.0.0.2", system_mode: 1, baudrate: 4,
    parity: 2, gpi_names: ["a", "b", "c", "d", "e", "f", "g", "h"],
    gpo_names: ["A", "B", "C", "D", "E", "F", "G", "H"],
};

test("messages that are not a known message are dropped", () => {
    const rows = [
        "", "{", "null", "[]", "5", '"gpio"', '{"type":"gpio"}', '{"type":"gpio","data":[]}',
        '{"type":"gpio","data":null}', '{"type":7,"data":{}}', '{"type":"GPIO","data":{}}',
        '{"type":"toString","data":{}}', '{"type":"__proto__","data":{}}',
        '{"type":"history","data":{}}',
    ];
    for (const text of rows) assert.equal(parseMessage(text), null, text);
});

test("system: known keys typed, unknown keys only in raw, whitespace and order free", () => {
    const sent = { ...SYSTEM, access_key_required: true, gpi_names: SYSTEM.gpi_names.slice(0, 3) };
    const text = JSON.stringify({ data: sent, type: "system" }, null, 4);
    const m = parseMessage(text);
    assert.equal(m.type, "system");
    assert.equal(m.data.access_key_required, undefined);
    assert.equal(m.raw.access_key_required, true);
    assert.deepEqual(m.data.gpi_names, ["a", "b", "c", "", "", "", "", ""]);
    assert.deepEqual(m.data.gpo_names, SYSTEM.gpo_names);
    assert.equal(m.data.system_mode, 1);
    assert.equal(m.data.dst_ip, "10.0.0.2");
});

test("gpio: states kept as sent, mistyped or missing ones unknown", () => {
    const m = parseMessage(JSON.stringify({
        type: "gpio", data: { gpi: [1, 0, 7, "1", null, 1.5], gpo: "x", link: 1, rs232_link: "1" },
    }));
    assert.deepEqual(m.data.gpi, [1, 0, 7, null, null, null, null, null]);
    assert.deepEqual(m.data.gpo, Array(8).fill(null));
    assert.equal(m.data.link, 1);
    assert.equal(m.data.rs232_link, null);
});

test("set_system carries every setting, and refuses to leave one out", () => {
    const settings = { dst_ip: "10.0.0.2", system_mode: 0, baudrate: 7, parity: 1,
        gpi_names: SYSTEM.gpi_names, gpo_names: SYSTEM.gpo_names };
    const sent = JSON.parse(setSystemMessage(settings));
    assert.equal(sent.type, "set_system");
    assert.deepEqual(sent.data, settings);
    for (const key of SYSTEM_SETTINGS) {
        const partial = { ...settings };
        delete partial[key];
        assert.throws(() => setSystemMessage(partial), new RegExp(key));
    }
    assert.deepEqual(JSON.parse(setGpoMessage(2, 1)), { type: "set_gpo", data: { index: 2, value: 1 } });
});

test("destination address check", () => {
    const good = ["10.0.0.2", "192.168.1.20", "1.2.3.4", "223.255.255.254", "172.16.0.0"];
    const bad = ["", "10.0.0", "10.0.0.2.3", "10.0.0.256", "010.0.0.2", "10.0.0.-1", "10..0.2",
        "a.b.c.d", "10.0.0.2 ", " 10.0.0.2", "1e1.0.0.1", "0x1.0.0.1", "0.0.0.0", "0.1.2.3",
        "127.0.0.1", "224.0.0.1", "239.1.1.1", "255.255.255.255", "10.0.0.2/24", "::1", "१.२.३.४"];
    for (const a of good) assert.equal(destinationProblem(a, MODE_CLIENT), "", a);
    for (const a of bad) assert.notEqual(destinationProblem(a, MODE_CLIENT), "", a);
    // Only the mode that connects needs an address.
    assert.equal(destinationProblem("", MODE_SERVER), "");
    assert.equal(destinationProblem("", MODE_STANDALONE), "");
    assert.notEqual(destinationProblem("10.0.0", MODE_SERVER), "");
});

test("unit address: page host on 8080, or the ws parameter", () => {
    const rows = [
        [{ hostname: "10.1.2.3", search: "" }, "ws://10.1.2.3:8080/"],
        [{ hostname: "", search: "" }, "ws://localhost:8080/"],
        [{ hostname: "[::1]", search: "" }, "ws://[::1]:8080/"],
        [{ hostname: "x", search: "?ws=10.0.0.9:9000" }, "ws://10.0.0.9:9000/"],
        [{ hostname: "x", search: "?ws=wss%3A%2F%2Funit.example%2Fws" }, "wss://unit.example/ws"],
    ];
    for (const [location, url] of rows) assert.equal(unitUrl(location), url);
});

test("back-off doubles up to its cap, less at most a fifth", () => {
    const limits = { first: 500, max: 8000 };
    const top = [0, 1, 2, 3, 4, 5, 40].map((n) => backoffDelay(n, limits, () => 0));
    assert.deepEqual(top, [500, 1000, 2000, 4000, 8000, 8000, 8000]);
    assert.equal(backoffDelay(3, limits, () => 0.999), Math.round(4000 * (1 - 0.2 * 0.999)));
});

// A WebSocket stand-in: every instance is kept; the test opens, feeds and closes them.
class FakeSocket {
    static made = [];
    constructor(url) {
        this.url = url;
        this.readyState = 0;
        this.sent = [];
        FakeSocket.made.push(this);
    }
    send(text) { this.sent.push(text); }
    open() { this.readyState = 1; this.onopen?.(); }
    receive(text) { this.onmessage?.({ data: text }); }
    close() {
        if (this.readyState === 3) return;
        this.readyState = 3;
        this.onclose?.();
    }
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

test("connection: reconnects after a loss, backing off until a message arrives", async () => {
    FakeSocket.made = [];
    const c = new UnitConnection("ws://u:8080/", { WebSocketImpl: FakeSocket, backoff: { first: 20, max: 80 } });
    const states = [];
    const messages = [];
    c.addEventListener("state", (e) => states.push(e.detail));
    c.addEventListener("message", (e) => messages.push(e.detail));
    c.start();
    assert.equal(FakeSocket.made.length, 1);
    FakeSocket.made[0].close();                     // refused
    assert.equal(states.at(-1).state, "closed");
    assert.ok(states.at(-1).retryInMs <= 20);
    await sleep(40);
    assert.equal(FakeSocket.made.length, 2);
    assert.deepEqual(states.at(-1), { state: "closed", retryInMs: 0 }, "still lost while trying");
    FakeSocket.made[1].open();
    FakeSocket.made[1].close();                     // accepted, then dropped without a word
    assert.ok(states.at(-1).retryInMs > 20, "no reset without a message");
    await sleep(60);
    const third = FakeSocket.made[2];
    third.open();
    third.receive('{"type":"gpio","data":{"gpi":[1],"gpo":[],"link":0,"rs232_link":0}}');
    third.receive("not json");
    assert.equal(messages.length, 1);
    third.close();
    assert.ok(states.at(-1).retryInMs <= 20, "a delivered message resets the back-off");
    c.stop();
    await sleep(40);
    assert.equal(FakeSocket.made.length, 3, "stop() ends reconnection");
    assert.equal(c.send("x"), false);
});

test("connection: keepalives carry a data object; silence counts as a loss", async () => {
    FakeSocket.made = [];
    const c = new UnitConnection("ws://u:8080/", { WebSocketImpl: FakeSocket, keepaliveMs: 20,
        silenceMs: 100, backoff: { first: 1000, max: 1000 } });
    const states = [];
    c.addEventListener("state", (e) => states.push(e.detail.state));
    c.start();
    const s = FakeSocket.made[0];
    s.open();
    for (let i = 0; i < 6; i++) {          // answered: stays open
        await sleep(25);
        s.receive('{"type":"keepalive","data":{"status":"alive"}}');
    }
    assert.equal(c.state, "open");
    assert.ok(s.sent.length >= 3);
    for (const text of s.sent) assert.deepEqual(JSON.parse(text), { type: "keepalive", data: {} });
    await sleep(200);                       // no answers: given up, socket closed
    assert.equal(c.state, "closed");
    assert.equal(s.readyState, 3);
    assert.deepEqual(states, ["connecting", "open", "closed"]);
    c.stop();
});
