// The WebSocket to the unit: keepalives, loss detection and reconnection with back-off.

import { keepaliveMessage, parseMessage } from "./protocol.js";

export const KEEPALIVE_MS = 5000;
// The unit answers every keepalive; this long without any message means the connection is
// gone even when the socket has not noticed (a pulled cable).
export const SILENCE_MS = 3 * KEEPALIVE_MS;

/**
 * Milliseconds to wait before reconnection attempt number `attempt` (0 for the first):
 * doubling from `first` up to `max`, with up to a fifth taken off at random so that many
 * pages do not knock at once after the unit restarts.
 */
export function backoffDelay(attempt, { first = 500, max = 8000 } = {}, random = Math.random) {
    const base = Math.min(max, first * 2 ** Math.min(attempt, 30));
    return Math.round(base * (1 - 0.2 * random()));
}

/**
 * The address of the unit's WebSocket: the page's own host on port 8080, or the "ws" query
 * parameter, either "host:port" or a full ws:// or wss:// URL.
 */
export function unitUrl(location) {
    const override = new URLSearchParams(location.search).get("ws");
    if (override) return /^wss?:\/\//.test(override) ? override : "ws://" + override + "/";
    return "ws://" + (location.hostname || "localhost") + ":8080/";
}

// The close code of a unit that wants an access key the page did not give (or gave wrong).
export const CLOSE_POLICY = 1008;

/** The unit's address with the access key as the "key" query parameter; no key, no change. */
export function withKey(url, key) {
    if (!key) return url;
    const hash = url.indexOf("#");
    const base = hash < 0 ? url : url.slice(0, hash);
    return base + (base.includes("?") ? "&" : "?") + "key=" + encodeURIComponent(key);
}

/**
 * Emits "state" events (detail: {state: "connecting" (the first attempt) | "open" | "closed"
 * | "refused" (the unit wants an access key; no retries until setKey()),
 * retryInMs: null, or the wait before the next attempt, 0 while one runs}) and
 * "message" events (detail: a parsed message). Reconnects by itself until stop().
 */
export class UnitConnection extends EventTarget {
    constructor(url, { WebSocketImpl = globalThis.WebSocket, backoff,
        keepaliveMs = KEEPALIVE_MS, silenceMs = SILENCE_MS } = {}) {
        super();
        this.keepaliveMs = keepaliveMs;
        this.silenceMs = silenceMs;
        this.url = url;
        this.key = "";
        this.WebSocketImpl = WebSocketImpl;
        this.backoff = backoff;
        this.socket = null;
        this.attempt = 0;
        this.state = "idle";
        this.timers = { retry: 0, keepalive: 0 };
        this.lastHeard = 0;
        this.stopped = false;
    }

    start() {
        this.stopped = false;
        this.connect();
    }

    stop() {
        this.stopped = true;
        this.clearTimers();
        if (this.socket) this.socket.close();
    }

    /** Sends one text message; false when there is no open connection. */
    send(textMessage) {
        if (!this.socket || this.socket.readyState !== 1) return false;
        this.socket.send(textMessage);
        return true;
    }

    /** Uses this access key from the next connection on, and connects now when refused. */
    setKey(key) {
        this.key = key || "";
        if (this.state === "refused" && !this.stopped) {
            this.attempt = 0;
            this.connect();
        }
    }

    retryNow() {
        if (this.state !== "closed" || this.socket || this.stopped) return;
        clearTimeout(this.timers.retry);
        this.connect();
    }

    connect() {
        // Once lost, the page stays "closed" through the attempts (retryInMs 0: trying now).
        if (this.state === "closed") this.setState("closed", 0);
        else this.setState("connecting");
        let socket;
        try {
            socket = new this.WebSocketImpl(withKey(this.url, this.key));
        } catch {
            this.lost();
            return;
        }
        this.socket = socket;
        socket.onopen = () => {
            this.lastHeard = Date.now();
            this.setState("open");
            this.timers.keepalive = setInterval(() => this.keepalive(), this.keepaliveMs);
        };
        socket.onmessage = (event) => {
            this.lastHeard = Date.now();
            // Only a connection that delivered something resets the back-off: a unit that
            // accepts and drops connections at once is not hammered.
            this.attempt = 0;
            if (typeof event.data !== "string") return;
            const message = parseMessage(event.data);
            if (message) this.dispatchEvent(new CustomEvent("message", { detail: message }));
        };
        socket.onclose = (event) => {
            if (this.socket !== socket) return;
            if (event && event.code === CLOSE_POLICY && !this.stopped) this.refused();
            else this.lost();
        };
        socket.onerror = () => {
            // onclose follows and does the work.
        };
    }

    keepalive() {
        if (Date.now() - this.lastHeard > this.silenceMs) {
            const socket = this.socket;
            this.lost();
            socket.close();
            return;
        }
        this.send(keepaliveMessage());
    }

    lost() {
        this.clearTimers();
        this.socket = null;
        if (this.stopped) {
            this.setState("closed");
            return;
        }
        const delay = backoffDelay(this.attempt++, this.backoff);
        this.setState("closed", delay);
        this.timers.retry = setTimeout(() => this.connect(), delay);
    }

    // Retrying with the same key cannot help; whoever listens asks for one and calls setKey().
    refused() {
        this.clearTimers();
        this.socket = null;
        this.setState("refused");
    }

    clearTimers() {
        clearTimeout(this.timers.retry);
        clearInterval(this.timers.keepalive);
    }

    setState(state, retryInMs = null) {
        this.state = state;
        this.dispatchEvent(new CustomEvent("state", { detail: { state, retryInMs } }));
    }
}
