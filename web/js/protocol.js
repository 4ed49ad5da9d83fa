// The unit's WebSocket messages as plain data: tables of the settings' values, the three
// messages the page sends, and the two it reads. No DOM here, so node's test runner loads
// this module as it is.

export const CHANNELS = 8;

export const MODE_CLIENT = 0;
export const MODE_SERVER = 1;
export const MODE_STANDALONE = 2;

export const MODES = [
    { value: MODE_CLIENT, label: "Client", hint: "connects to the unit at the destination address" },
    { value: MODE_SERVER, label: "Server", hint: "waits for a unit in client mode to connect" },
    { value: MODE_STANDALONE, label: "Standalone", hint: "not paired; outputs are set here or by control panels" },
];

// The unit stores the position in this list, not the rate.
export const BAUD_RATES = [115200, 57600, 38400, 19200, 9600, 4800, 2400, 1200];

export const PARITIES = ["None", "Even", "Odd"];

// Every key of "set_system"; the unit clears what a message leaves out, so all are sent.
// The optional features' keys come last; the unit sends them only when they differ from their
// default (so a missing one reads as the default), and storing a default stores nothing new.
export const SYSTEM_SETTINGS = ["dst_ip", "system_mode", "baudrate", "parity", "gpi_names", "gpo_names",
    "failsafe_timeout", "failsafe_gpo", "link_allow", "web_key", "event_history", "rs232_immediate"];

export const HISTORY_WHAT = /^(gpi [1-8]|gpo [1-8]|link|mode)$/;

function int(value) {
    return Number.isInteger(value) ? value : null;
}

function text(value) {
    return typeof value === "string" ? value : "";
}

function states(value) {
    const list = Array.isArray(value) ? value : [];
    return Array.from({ length: CHANNELS }, (_, i) => int(list[i]));
}

function names(value) {
    const list = Array.isArray(value) ? value : [];
    return Array.from({ length: CHANNELS }, (_, i) => text(list[i]));
}

function intOr(value, fallback) {
    return Number.isInteger(value) ? value : fallback;
}

function texts(value) {
    return Array.isArray(value) ? value.filter((v) => typeof v === "string") : [];
}

function historyEvent(e) {
    if (!e || typeof e !== "object" || !Number.isFinite(e.time)) return null;
    return { time: e.time, what: text(e.what), old: int(e.old), new: int(e.new), source: text(e.source) };
}

// A reader returns null to drop a message that lacks what makes it useful.
const READERS = {
    gpio: (d) => ({
        gpi: states(d.gpi),
        gpo: states(d.gpo),
        link: int(d.link),
        rs232_link: int(d.rs232_link),
        failsafe: int(d.failsafe),
    }),
    system: (d) => ({
        version: text(d.version),
        version2: text(d.version2),
        dst_ip: text(d.dst_ip),
        system_mode: int(d.system_mode),
        baudrate: int(d.baudrate),
        parity: int(d.parity),
        gpi_names: names(d.gpi_names),
        gpo_names: names(d.gpo_names),
        failsafe_timeout: intOr(d.failsafe_timeout, 0),
        failsafe_gpo: states(d.failsafe_gpo).map((v) => (v ? 1 : 0)),
        link_allow: texts(d.link_allow),
        web_key: text(d.web_key),
        event_history: intOr(d.event_history, 0),
        rs232_immediate: intOr(d.rs232_immediate, 0),
    }),
    keepalive: (d) => ({ status: text(d.status) }),
    history: (d) => (Array.isArray(d.events)
        ? { events: d.events.map(historyEvent).filter((e) => e !== null) }
        : null),
};

/**
 * One received text message as {type, data, raw}, or null when it is not a message of a
 * known type. "data" holds the known keys only, each of its expected type (a missing or
 * mistyped number reads as null, a text as ""); "raw" is the object as received, for keys
 * this version of the page does not know.
 */
export function parseMessage(textMessage) {
    let message;
    try {
        message = JSON.parse(textMessage);
    } catch {
        return null;
    }
    if (!message || typeof message !== "object" || Array.isArray(message)) return null;
    const { type, data } = message;
    if (typeof type !== "string" || !data || typeof data !== "object" || Array.isArray(data)) return null;
    const read = Object.hasOwn(READERS, type) ? READERS[type] : null;
    const known = read ? read(data) : null;
    return known ? { type, data: known, raw: data } : null;
}

/** "set_system" with every setting; throws when one is missing, since the unit would clear it. */
export function setSystemMessage(settings) {
    const missing = SYSTEM_SETTINGS.filter((k) => !(k in settings));
    if (missing.length) throw new Error("set_system without " + missing.join(", "));
    return JSON.stringify({ type: "set_system", data: { ...settings } });
}

/** "set_gpo" for output index (0 to 7). */
export function setGpoMessage(index, value) {
    return JSON.stringify({ type: "set_gpo", data: { index, value } });
}

/** Asks a unit with the event history on for its "history". */
export function getHistoryMessage() {
    return JSON.stringify({ type: "get_history", data: {} });
}

/** The unit answers a keepalive only when it carries a "data" object. */
export function keepaliveMessage() {
    return JSON.stringify({ type: "keepalive", data: {} });
}

/**
 * Why the destination address cannot be used, or "" when it can. The address must be a
 * unicast IPv4 address in dotted form (four decimal numbers, no leading zeros, which some
 * parsers read as octal). An empty address is fine unless the unit is to connect to it.
 */
export function destinationProblem(address, mode) {
    if (address === "") {
        return mode === MODE_CLIENT ? "Client mode needs the address of the unit to connect to." : "";
    }
    const parts = address.split(".");
    const numeric = parts.length === 4 && parts.every((p) => /^(0|[1-9][0-9]{0,2})$/.test(p));
    const bytes = parts.map(Number);
    if (!numeric || bytes.some((b) => b > 255)) {
        return "Enter four numbers from 0 to 255 separated by dots, for example 192.168.1.20.";
    }
    if (bytes[0] === 0) return "Addresses starting with 0 do not name a unit.";
    if (bytes[0] === 127) return "Addresses starting with 127 are this unit itself.";
    if (bytes[0] >= 224) return "Multicast, reserved and broadcast addresses do not name a unit.";
    return "";
}

/** The entries of an allowed-address list typed one per line or separated by commas. */
export function splitAllowList(textValue) {
    return textValue.split(/[\s,]+/).filter((entry) => entry !== "");
}

function ipv4(address) {
    const parts = address.split(".");
    return parts.length === 4 && parts.every((p) => /^(0|[1-9][0-9]{0,2})$/.test(p) && Number(p) <= 255);
}

/** Why an allowed-address list cannot be used, or "" when it can (an empty list lets anyone in). */
export function allowListProblem(entries) {
    for (const entry of entries) {
        const [address, bits, extra] = entry.split("/");
        const rangeOk = bits === undefined || (/^(0|[1-9][0-9]?)$/.test(bits) && Number(bits) <= 32);
        if (extra !== undefined || !ipv4(address) || !rangeOk) {
            return `"${entry}" is neither an IPv4 address (192.168.1.20) nor a range (192.168.1.0/24).`;
        }
    }
    return "";
}

/** Why a fail-safe delay cannot be used, or "" when it can: whole seconds, 0 for off. */
export function failsafeTimeoutProblem(value) {
    return Number.isInteger(value) && value >= 0 && value <= 86400
        ? "" : "Enter whole seconds from 0 (off) to 86400.";
}

/** History events newest first (the unit sends them oldest first). */
export function newestFirst(events) {
    return events.map((e, i) => [e, i]).sort((a, b) => b[0].time - a[0].time || b[1] - a[1]).map(([e]) => e);
}

function csvCell(value) {
    const s = value === null || value === undefined ? "" : String(value);
    // Quoted when needed, and a leading formula character defused for spreadsheets.
    const safe = /^[=+\-@\t\r]/.test(s) ? "'" + s : s;
    return /[",\r\n]/.test(safe) ? '"' + safe.replaceAll('"', '""') + '"' : safe;
}

/** History events as CSV text in the order given: time (ISO 8601, UTC), what, old, new, source. */
export function historyCsv(events) {
    const rows = [["time", "what", "old", "new", "source"]];
    for (const e of events) rows.push([new Date(e.time).toISOString(), e.what, e.old, e.new, e.source]);
    return rows.map((r) => r.map(csvCell).join(",")).join("\r\n") + "\r\n";
}
