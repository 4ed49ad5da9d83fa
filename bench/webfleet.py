"""Many WebSocket clients of one unit in a process of their own, timing every message.

A minimal RFC 6455 client: the upgrade request, unmasked server frames read (text, binary,
continuation, ping answered with a masked pong, close), nothing sent otherwise. Every complete
message is stamped with the CLOCK_MONOTONIC time of the read that completed it, taken before
any parsing, so the figure is when the bytes reached the client, not when Python got to them.
"""

import base64
import os
import select
import struct
import time

import probes

UPGRADE = ("GET / HTTP/1.1\r\nHost: unit\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n")


class _Client:
    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()
        self.message = bytearray()
        self.times = []        # arrival of every complete message
        self.texts = []        # the last few messages, for checks
        self.closed = False

    def feed(self, data, t):
        """Cuts whole frames out of the buffer; returns the number of messages completed."""
        self.buf += data
        done = 0
        while len(self.buf) >= 2:
            b0, b1 = self.buf[0], self.buf[1]
            n, head = b1 & 0x7F, 2
            if n == 126:
                if len(self.buf) < 4:
                    break
                n, head = struct.unpack(">H", self.buf[2:4])[0], 4
            elif n == 127:
                if len(self.buf) < 10:
                    break
                n, head = struct.unpack(">Q", self.buf[2:10])[0], 10
            if len(self.buf) < head + n:
                break
            payload = bytes(self.buf[head:head + n])
            del self.buf[:head + n]
            opcode = b0 & 0x0F
            if opcode == 9:
                self._send(0x8A, payload)
            elif opcode == 8:
                self.closed = True
            elif opcode in (0, 1, 2):
                self.message += payload
                if b0 & 0x80:
                    self.times.append(t)
                    self.texts = (self.texts + [bytes(self.message)])[-4:]
                    self.message = bytearray()
                    done += 1
        return done

    def _send(self, first, payload):
        mask = os.urandom(4)
        body = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.setblocking(True)
        self.sock.sendall(bytes([first, 0x80 | len(payload)]) + mask + body)
        self.sock.setblocking(False)


def _upgrade(socks):
    """Sends the upgrade requests, then waits for every 101 answer; returns clients."""
    for s in socks:
        key = base64.b64encode(os.urandom(16)).decode()
        s.sendall((UPGRADE % key).encode())
    clients = []
    for s in socks:
        s.settimeout(20)
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = s.recv(4096)
            if not chunk:
                raise RuntimeError("web server closed during the upgrade")
            head += chunk
        status, rest = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in status.split(b"\r\n")[0]:
            raise RuntimeError("upgrade refused: %r" % status[:80])
        s.setblocking(False)
        c = _Client(s)
        c.feed(rest, probes.now())
        clients.append(c)
    return clients


def _connect(unit, count, port):
    clients = []
    for first in range(0, count, 50):  # in batches, so the listen backlog never overflows
        socks = [unit.connect_tcp(port, timeout=20) for _ in range(min(50, count - first))]
        clients += _upgrade(socks)
    return clients


def _fleet_main(conn, unit, count, port):
    try:
        clients = _connect(unit, count, port)
    except Exception as e:  # handed back to the caller, which raises it
        conn.send(e)
        return
    by_fd = {c.sock.fileno(): c for c in clients}
    ep = select.epoll()
    for fd in by_fd:
        ep.register(fd, select.EPOLLIN)
    ep.register(conn.fileno(), select.EPOLLIN)
    waiting = None  # (k, deadline): answer once every client holds k messages

    def reached(k):
        return sum(1 for c in clients if len(c.times) >= k)

    conn.send(("ready", len(clients)))
    while True:
        for fd, _ in ep.poll(0.05):
            c = by_fd.get(fd)
            if c is None:
                continue
            t = probes.now()
            try:
                data = c.sock.recv(1 << 16)
            except BlockingIOError:
                continue
            if not data:
                c.closed = True
                ep.unregister(fd)
                continue
            c.feed(data, t)
        if waiting:
            k, deadline = waiting
            if reached(k) == len(clients):
                conn.send(max(c.times[k - 1] for c in clients))
                waiting = None
            elif time.monotonic() > deadline:
                conn.send(RuntimeError("only %d of %d clients got message %d"
                                       % (reached(k), len(clients), k)))
                waiting = None
        if not conn.poll():
            continue
        command = conn.recv()
        if command[0] == "quit":
            for c in clients:
                c.sock.close()
            return
        if command[0] == "counts":
            conn.send([len(c.times) for c in clients])
        elif command[0] == "texts":
            conn.send([t.decode(errors="replace") for t in clients[0].texts])
        elif command[0] == "wait":
            waiting = (command[1], time.monotonic() + command[2])
        elif command[0] == "closed":
            conn.send(sum(1 for c in clients if c.closed))


class WebFleet(probes.Worker):
    """count WebSocket clients of unit on port 8080, all in one forked process."""

    def __init__(self, unit, count, port=8080):
        super().__init__(_fleet_main, unit, count, port)
        ready = self.call_ready()
        if ready != count:
            raise RuntimeError("only %d web clients connected" % ready)

    def call_ready(self):
        if not self._conn.poll(300):
            raise TimeoutError("web clients did not connect")
        answer = self._conn.recv()
        if isinstance(answer, Exception):
            raise answer
        return answer[1]

    def counts(self):
        """Messages each client has received so far."""
        return self.call("counts")

    def last_texts(self):
        """The last few messages of the first client."""
        return self.call("texts")

    def wait_all(self, k, timeout=10):
        """Time at which the last client got its k-th message (waits until all have)."""
        return self.call("wait", k, timeout, timeout=timeout + 5)
