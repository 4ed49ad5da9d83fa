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
export const SYSTEM_SETTINGS = ["dst_ip", "system_mode", "baudrate", "parity", "gpi_names", "gpo_names"];

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

const READERS = {
    gpio: (d) => ({
        gpi: states(d.gpi),
        gpo: states(d.gpo),
        link: int(d.link),
        rs232_link: int(d.rs232_link),
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
    }),
    keepalive: (d) => ({ status: text(d.status) }),
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
    return read ? { type, data: read(data), raw: data } : null;
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
