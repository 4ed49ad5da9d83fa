"""Many WebSocket clients of one unit in a process of their own, timing every message.

The upgrade is rig.WebClient's; after it every client's socket is read here, all of them on
one epoll: unmasked server frames (text, binary, continuation, ping answered with a pong,
close). Every complete message is stamped with the CLOCK_MONOTONIC time of the read that
completed it, taken before any parsing, so the figure is when the bytes reached the client,
not when Python got round to them.
"""

import select
import struct
import time

import probes
import rig


class _Client:
    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()
        self.message = bytearray()
        self.times = []        # arrival of every complete message
        self.texts = []        # the last few messages, for checks
        self.closed = False
        self.wanted = None     # a text the next awaited message holds (whitespace removed)
        self.hit = None        # arrival of that message

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
                self.sock.setblocking(True)
                self.sock.sendall(rig.WebClient.frame(0xA, payload))
                self.sock.setblocking(False)
            elif opcode == 8:
                self.closed = True
            elif opcode in (0, 1, 2):
                self.message += payload
                if b0 & 0x80:
                    self._complete(bytes(self.message), t)
                    self.message = bytearray()
                    done += 1
        return done

    def _complete(self, message, t):
        self.times.append(t)
        self.texts = (self.texts + [message])[-4:]
        if self.wanted and self.hit is None and \
                self.wanted in message.translate(None, b" \t\r\n"):
            self.hit = t


def _connect(unit, count, port):
    clients = []
    for _ in range(count):
        upgraded = rig.WebClient.connect(unit, port, timeout=20)
        c = _Client(upgraded.sock)
        c.sock.setblocking(False)
        c.feed(upgraded._buf, probes.now())   # whatever came with the upgrade answer
        clients.append(c)
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
    waiting = None  # deadline while a "wait" is open

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
            hits = [c.hit for c in clients if c.hit is not None]
            if len(hits) == len(clients):
                conn.send((min(hits), max(hits)))
                waiting = None
            elif time.monotonic() > waiting:
                conn.send(RuntimeError("only %d of %d clients got the message"
                                       % (len(hits), len(clients))))
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
        elif command[0] == "cpu":
            conn.send(time.process_time())
        elif command[0] == "expect":
            for c in clients:
                c.wanted, c.hit = command[1], None
            conn.send(True)
        elif command[0] == "wait":
            waiting = time.monotonic() + command[1]


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

    def expect(self, text):
        """From now on each client looks for a message holding text (compared with the
        message's whitespace removed, e.g. b'"gpi":[1,0,0,0,0,0,0,0]')."""
        self.call("expect", text)

    def cpu_seconds(self):
        """CPU time the clients' process has used so far."""
        return self.call("cpu")

    def wait_all(self, timeout=10):
        """Arrival of the expected message at the first and at the last client (waits until
        every client has it)."""
        return self.call("wait", timeout, timeout=timeout + 5)
