// The page's DOM-free modules under node's test runner: message parsing and building, the
// destination check, the unit's address, and the connection's keepalive and reconnection
// against a stand-in WebSocket.

import assert from "node:assert/strict";
import { test } from "node:test";

import { CLOSE_POLICY, UnitConnection, backoffDelay, unitUrl, withKey } from "../../web/js/connection.js";
import {
    MODE_CLIENT, MODE_SERVER, MODE_STANDALONE, SYSTEM_SETTINGS, allowListProblem, destinationProblem,
    failsafeTimeoutProblem, getHistoryMessage, historyCsv, newestFirst, parseMessage, setGpoMessage,
    setSystemMessage, splitAllowList,
} from "../../web/js/protocol.js";
import { describeWhat } from "../../web/js/views/history.js";

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

// What a unit with every optional feature off means by leaving their keys out of "system".
const OPTIONAL_DEFAULTS = {
    failsafe_timeout: 0, failsafe_gpo: [0, 0, 0, 0, 0, 0, 0, 0], link_allow: [], web_key: "",
    event_history: 0, rs232_immediate: 0,
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

test("system: optional keys read as their defaults when missing or mistyped, as sent otherwise", () => {
    const plain = parseMessage(JSON.stringify({ type: "system", data: SYSTEM })).data;
    for (const [key, value] of Object.entries(OPTIONAL_DEFAULTS)) assert.deepEqual(plain[key], value, key);

    const mistyped = parseMessage(JSON.stringify({ type: "system", data: { ...SYSTEM,
        failsafe_timeout: "30", failsafe_gpo: "1,1", link_allow: "10.0.0.1", web_key: 5,
        event_history: true, rs232_immediate: 1.5 } })).data;
    for (const [key, value] of Object.entries(OPTIONAL_DEFAULTS)) assert.deepEqual(mistyped[key], value, key);

    const set = parseMessage(JSON.stringify({ type: "system", data: { ...SYSTEM,
        failsafe_timeout: 30, failsafe_gpo: [1, 0, 1], link_allow: ["10.0.0.1", 7, "10.1.0.0/16"],
        web_key: "s3cret", event_history: 1, rs232_immediate: 1 } })).data;
    assert.equal(set.failsafe_timeout, 30);
    assert.deepEqual(set.failsafe_gpo, [1, 0, 1, 0, 0, 0, 0, 0]);
    assert.deepEqual(set.link_allow, ["10.0.0.1", "10.1.0.0/16"]);
    assert.equal(set.web_key, "s3cret");
    assert.equal(set.event_history, 1);
    assert.equal(set.rs232_immediate, 1);
});

test("gpio: failsafe only when sent as a number", () => {
    const gpio = (extra) => parseMessage(JSON.stringify({ type: "gpio",
        data: { gpi: [], gpo: [], link: 0, rs232_link: 0, ...extra } })).data.failsafe;
    assert.equal(gpio({}), null);
    assert.equal(gpio({ failsafe: 1 }), 1);
    assert.equal(gpio({ failsafe: 0 }), 0);
    assert.equal(gpio({ failsafe: "1" }), null);
});

test("history: well-formed events kept in order, malformed ones dropped", () => {
    const good = [
        { time: 1733800000000, what: "gpi 1", old: 0, new: 1, source: "controller" },
        { time: 1733800001000, what: "gpo 3", old: 0, new: 1, source: "web" },
    ];
    const events = [good[0], null, 5, { what: "link" }, { time: "1733800000000", what: "link" }, good[1]];
    const m = parseMessage(JSON.stringify({ type: "history", data: { events } }));
    assert.deepEqual(m.data.events, good);
    const partial = parseMessage(JSON.stringify({ type: "history", data: { events: [{ time: 5 }] } }));
    assert.deepEqual(partial.data.events, [{ time: 5, what: "", old: null, new: null, source: "" }]);
    assert.equal(parseMessage('{"type":"history","data":{"events":{}}}'), null);
    assert.deepEqual(JSON.parse(getHistoryMessage()), { type: "get_history", data: {} });
});

test("history: newest first (ties keep the later-received first), CSV in the order given", () => {
    const events = [
        { time: 1000, what: "gpi 1", old: 0, new: 1, source: "controller" },
        { time: 3000, what: "mode", old: 2, new: 0, source: "web" },
        { time: 3000, what: "gpo 3", old: 1, new: 0, source: 'panel, "A"' },
        { time: 2000, what: "link", old: null, new: 1, source: "=cmd()" },
    ];
    const sorted = newestFirst(events);
    assert.deepEqual(sorted.map((e) => e.what), ["gpo 3", "mode", "link", "gpi 1"]);
    assert.deepEqual(events.map((e) => e.time), [1000, 3000, 3000, 2000], "input left alone");
    assert.equal(historyCsv(sorted),
        "time,what,old,new,source\r\n" +
        '1970-01-01T00:00:03.000Z,gpo 3,1,0,"panel, ""A"""\r\n' +
        "1970-01-01T00:00:03.000Z,mode,2,0,web\r\n" +
        "1970-01-01T00:00:02.000Z,link,,1,'=cmd()\r\n" +
        "1970-01-01T00:00:01.000Z,gpi 1,0,1,controller\r\n");
    assert.equal(historyCsv([]), "time,what,old,new,source\r\n");
    const words = ["gpo 3", "gpi 8", "link", "mode", "other"].map(describeWhat);
    assert.deepEqual(words, ["Output 3", "Input 8", "Link", "Mode", "other"]);
});

test("allowed addresses: split on commas and line breaks, each an IPv4 address or range", () => {
    assert.deepEqual(splitAllowList(" 10.0.0.1,10.1.0.0/16\n\n192.168.1.20 ,\r\n"),
        ["10.0.0.1", "10.1.0.0/16", "192.168.1.20"]);
    assert.deepEqual(splitAllowList("  \n , "), []);
    const good = ["10.0.0.1", "0.0.0.0/0", "192.168.1.0/24", "10.0.0.7/32", "255.255.255.255"];
    const bad = ["10.0.0", "10.0.0.256", "010.0.0.1", "10.0.0.1/33", "10.0.0.1/", "10.0.0.1/024",
        "10.0.0.1/8/8", "/24", "10.0.0.1/x", "host.example", "::1", "10.0.0.1-10.0.0.9"];
    assert.equal(allowListProblem([]), "");
    assert.equal(allowListProblem(good), "");
    for (const entry of bad) assert.match(allowListProblem(["10.0.0.1", entry]), /neither/, entry);
});

test("fail-safe delay: whole seconds, 0 for off", () => {
    for (const v of [0, 1, 30, 86400]) assert.equal(failsafeTimeoutProblem(v), "", String(v));
    for (const v of [-1, 1.5, NaN, 86401, "5", null]) assert.notEqual(failsafeTimeoutProblem(v), "", String(v));
});

test("access key goes URL-encoded into the key parameter", () => {
    const rows = [
        ["ws://u:8080/", "", "ws://u:8080/"],
        ["ws://u:8080/", "abc", "ws://u:8080/?key=abc"],
        ["ws://u:8080/", "a b&c=d+e/ü#?", "ws://u:8080/?key=a%20b%26c%3Dd%2Be%2F%C3%BC%23%3F"],
        ["wss://unit.example/ws?x=1", "k", "wss://unit.example/ws?x=1&key=k"],
        ["ws://u:8080/#frag", "k", "ws://u:8080/?key=k"],
    ];
    for (const [url, key, want] of rows) assert.equal(withKey(url, key), want, key);
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
        gpi_names: SYSTEM.gpi_names, gpo_names: SYSTEM.gpo_names, ...OPTIONAL_DEFAULTS };
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
    close(code = 1006) {
        if (this.readyState === 3) return;
        this.readyState = 3;
        this.onclose?.({ code });
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

test("connection: a policy close waits for a key, then reconnects with it; a wrong one waits again", async () => {
    FakeSocket.made = [];
    const c = new UnitConnection("ws://u:8080/", { WebSocketImpl: FakeSocket, backoff: { first: 10, max: 10 } });
    const states = [];
    c.addEventListener("state", (e) => states.push(e.detail.state));
    c.start();
    FakeSocket.made[0].open();
    FakeSocket.made[0].close(CLOSE_POLICY);
    assert.equal(c.state, "refused");
    await sleep(40);
    assert.equal(FakeSocket.made.length, 1, "no retries without a key");
    c.setKey("wrong key");
    assert.equal(FakeSocket.made[1].url, "ws://u:8080/?key=wrong%20key");
    FakeSocket.made[1].close(CLOSE_POLICY);
    assert.equal(c.state, "refused");
    c.setKey("right");
    const s = FakeSocket.made[2];
    assert.equal(s.url, "ws://u:8080/?key=right");
    s.open();
    assert.equal(c.state, "open");
    c.setKey("right");
    assert.equal(FakeSocket.made.length, 3, "a key set while connected waits for the next connection");
    s.close();                               // an ordinary loss retries with the key
    await sleep(40);
    assert.equal(FakeSocket.made[3].url, "ws://u:8080/?key=right");
    c.stop();
    assert.deepEqual(states.slice(0, 6), ["connecting", "open", "refused", "connecting", "refused", "connecting"]);
});
