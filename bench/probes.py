"""Measuring ends of the benchmark: the two I/O controllers, a paced RS-232 load, a unit-link
peer and byte pumps that time what crosses a program.

Each load that must not disturb a measurement runs in a process of its own (forked, so it
inherits the pseudo-terminal masters); every timestamp is CLOCK_MONOTONIC in nanoseconds, the
same clock in every process of the benchmark.
"""

import multiprocessing
import os
import random
import select
import socket
import struct
import time

import rig

ACK = rig.encode_7391(b"\x00")
MSG_GPI_REPORT = 3
MSG_GPO_COMMAND = 5


def now():
    return time.monotonic_ns()


class Worker:
    """A forked process that serves commands over a pipe; call() waits for the answer."""

    def __init__(self, target, *args):
        fork = multiprocessing.get_context("fork")  # children inherit the pty masters
        self._conn, child = fork.Pipe()
        self._proc = fork.Process(target=target, args=(child,) + args, daemon=True)
        self._proc.start()
        child.close()

    def call(self, *command, timeout=600):
        self._conn.send(command)
        if not self._conn.poll(timeout):
            raise TimeoutError("worker did not answer %r" % (command,))
        answer = self._conn.recv()
        if isinstance(answer, Exception):
            raise answer
        return answer

    def close(self):
        if self._proc.is_alive():
            try:
                self._conn.send(("quit",))
            except OSError:
                pass
            self._proc.join(3)
        if self._proc.is_alive():
            self._proc.kill()
            self._proc.join(3)


# --- the I/O controllers of both units

class _ControllerLine:
    """One controller end: acknowledges every frame the unit writes, as the firmware does."""

    def __init__(self, fd):
        self.fd = fd
        self._rest = b""

    def read_messages(self):
        try:
            data = os.read(self.fd, 65536)
        except (BlockingIOError, OSError):
            return []
        msgs, self._rest = rig.decode_frames_7391(self._rest + data)
        for m in msgs:
            if m[:1] != b"\x00":
                try:
                    os.write(self.fd, ACK)
                except BlockingIOError:
                    pass
        return msgs


def states_for(counter):
    """Eight input states for report number counter; consecutive reports always differ."""
    v = counter % 255 + 1
    return bytes((v >> k) & 1 for k in range(8))


def _controllers_main(conn, fd_a, fd_b):
    lines = {fd_a: _ControllerLine(fd_a), fd_b: _ControllerLine(fd_b)}
    poller = select.poll()
    for fd in (fd_a, fd_b, conn.fileno()):
        poller.register(fd, select.POLLIN)
    counter = [random.randrange(255)]

    def pump(timeout_ms):
        """Serves both lines for up to timeout_ms; returns (fd, message, arrival) seen."""
        seen = []
        for fd, _ in poller.poll(timeout_ms):
            if fd in lines:
                t = now()
                seen += [(fd, m, t) for m in lines[fd].read_messages()]
        return seen

    def serve_for(seconds):
        end = now() + int(seconds * 1e9)
        while now() < end:
            pump(max(1, (end - now()) // 1000000))

    def report(states=None):
        counter[0] += 1
        states = states or states_for(counter[0])
        t0 = now()
        os.write(fd_a, rig.encode_7391(bytes([MSG_GPI_REPORT]) + states))
        return states, t0

    def mirror(samples, gap_ms):
        """Input report on A's line to the output command with the same states on B's."""
        out = []
        for _ in range(samples):
            states, t0 = report()
            want = bytes([MSG_GPO_COMMAND]) + states
            deadline = t0 + 5 * 10**9
            t1 = None
            while t1 is None and now() < deadline:
                t1 = next((t for fd, m, t in pump(50) if fd == fd_b and m == want), None)
            if t1 is None:
                raise RuntimeError("no output command on B within 5 s")
            out.append(t1 - t0)
            serve_for(random.uniform(*gap_ms) / 1000)
        return out

    while True:
        pump(100)
        if not conn.poll():
            continue
        command = conn.recv()
        try:
            if command[0] == "quit":
                return
            if command[0] == "mirror":
                conn.send(mirror(*command[1:]))
            elif command[0] == "report":
                conn.send(report(*command[1:]))
            else:
                conn.send(ValueError("unknown command %r" % (command,)))
        except Exception as e:  # handed back to the caller, which raises it
            conn.send(e)


class Controllers(Worker):
    """Plays the I/O controllers of units A and B on their /dev/ttyS3 lines for the whole run."""

    def __init__(self, line_a, line_b):
        super().__init__(_controllers_main, line_a.master, line_b.master)

    def mirror(self, samples, gap_ms=(2, 6)):
        return self.call("mirror", samples, gap_ms)

    def report(self, states=None):
        """Writes one input report on A's line (the given eight states, or the next of the
        controllers' own series); returns (states, time written)."""
        return self.call("report", *([bytes(states)] if states else []))


# --- RS-232 load at the line rate

def _serial_load_main(conn, pairs, rate):
    """pairs: (write fd, read fd) per direction; writes rate bytes a second into each."""
    written = [0] * len(pairs)
    received = [0] * len(pairs)
    start = now()
    chunk = bytes(range(256)) * 64
    while not conn.poll():
        select.select([r for _, r in pairs], [], [], 0.002)
        due = int((now() - start) * rate / 1e9)
        for i, (w, r) in enumerate(pairs):
            n = min(due - written[i], len(chunk))
            if n > 0:
                try:
                    written[i] += os.write(w, chunk[:n])
                except BlockingIOError:
                    pass
            try:
                received[i] += len(os.read(r, 65536))
            except (BlockingIOError, OSError):
                pass
    conn.recv()
    conn.send((written, received, (now() - start) / 1e9))


class SerialLoad(Worker):
    """RS-232 traffic at a fixed rate in each direction, e.g. both ways at the line rate."""

    def __init__(self, pairs, rate):
        super().__init__(_serial_load_main, pairs, rate)

    def stop(self):
        """(bytes written, bytes read) per direction and the seconds it ran."""
        answer = self.call("stop")
        self.close()
        return answer


# --- a unit-link peer (the client end, as unit B would be)

class LinkPeer:
    """A link client connected to a server-mode unit: handshake, keepalives, serial packets."""

    KEEPALIVE = bytes.fromhex("0000000d000300000200000000")

    def __init__(self, sock):
        self.sock = sock
        sock.settimeout(5)
        if rig.recv_exactly(sock, 8) != rig.LINK_HANDSHAKE:
            raise RuntimeError("no link handshake from the unit")
        sock.sendall(rig.LINK_HANDSHAKE)
        sock.setblocking(False)
        self._buf = bytearray()
        self._last_keepalive = time.monotonic()

    def fileno(self):
        return self.sock.fileno()

    def tick(self):
        """Sends the keepalive the server expects every 5 s."""
        if time.monotonic() - self._last_keepalive >= 5:
            self.sock.setblocking(True)
            self.sock.sendall(self.KEEPALIVE)
            self.sock.setblocking(False)
            self._last_keepalive = time.monotonic()

    def read_serial(self):
        """The serial data that arrived, from whole packets; other packets are dropped."""
        try:
            data = self.sock.recv(1 << 20)
            if not data:
                raise RuntimeError("the unit closed the link")
            self._buf += data
        except BlockingIOError:
            pass
        out = bytearray()
        while len(self._buf) >= 8:
            size, kind = struct.unpack(">IxbH", self._buf[:8])[:2]
            if len(self._buf) < size:
                break
            if kind == 2:
                n = struct.unpack(">H", self._buf[9:11])[0]
                out += self._buf[11:11 + n]
            del self._buf[:size]
        return bytes(out)

    def close(self):
        self.sock.close()


class _RawReader:
    """Reads a pseudo-terminal master or a plain TCP socket (ser2net's client side)."""

    def __init__(self, fd):
        self._fd = fd

    def fileno(self):
        return self._fd

    def tick(self):
        pass

    def read_serial(self):
        try:
            return os.read(self._fd, 1 << 20)
        except (BlockingIOError, OSError):
            return b""


def reader_of(end):
    """Wraps a pty master fd, a socket or a LinkPeer as something with read_serial()."""
    if isinstance(end, LinkPeer):
        return end
    if isinstance(end, socket.socket):
        end.setblocking(False)
        return _RawReader(end.fileno())
    return _RawReader(end)


def pump_through(directions, window=1 << 20, timeout=180):
    """Writes each data into its write fd as fast as the far end takes it and reads it back
    there, all directions at once: directions is a list of (write fd, reader, data). At most
    window bytes are on their way at any time, as a protocol above the line would keep it:
    the programs bound what they queue for a line and drop beyond that, so an unpaced writer
    would measure the bound, not the throughput. Returns, per direction, (seconds from the
    first write to the last byte, whether every byte came back, in order)."""
    state = [{"w": w, "r": r, "data": d, "sent": 0, "got": 0, "intact": True, "end": None,
              "window": window} for w, r, d in directions]
    for s in state:
        os.set_blocking(s["w"], False)
    start = now()
    deadline = start + int(timeout * 1e9)
    while any(s["end"] is None for s in state) and now() < deadline:
        select.select([s["r"] for s in state if s["end"] is None],
                      [s["w"] for s in state if _may_write(s)], [], 0.1)
        for s in state:
            _pump_step(s)
            if s["end"] is None and s["got"] >= len(s["data"]):
                s["end"] = now()
    return [(((s["end"] or now()) - start) / 1e9, s["intact"] and s["got"] == len(s["data"]))
            for s in state]


def _may_write(s):
    return s["sent"] < len(s["data"]) and s["sent"] - s["got"] < s["window"]


def _pump_step(s):
    data = s["data"]
    if _may_write(s):
        n = min(65536, s["window"] - (s["sent"] - s["got"]))
        try:
            s["sent"] += os.write(s["w"], data[s["sent"]:s["sent"] + n])
        except BlockingIOError:
            pass
    chunk = s["r"].read_serial()
    if chunk:
        s["intact"] = s["intact"] and chunk == data[s["got"]:s["got"] + len(chunk)]
        s["got"] += len(chunk)
    s["r"].tick()


def one_byte_latency(write_fd, reader, samples, gap_ms=(2, 12)):
    """Time from one byte written to its arrival at the far end, samples times.

    A byte arrives just after a 10 ms poll; the random gap before the next write, one poll
    period wide, puts that write at a uniformly random point of the period, as an
    unsynchronised sender's bytes would be. (A gap of 0 to 12 ms would make the first 2 ms
    of a period twice as likely, and add about a millisecond to the median.)"""
    out = []
    poller = select.poll()
    poller.register(reader.fileno(), select.POLLIN)
    for i in range(samples):
        time.sleep(random.uniform(*gap_ms) / 1000)
        reader.tick()
        byte = bytes([i & 0xFF])
        t0 = now()
        os.write(write_fd, byte)
        got = b""
        while not got:
            if not poller.poll(2000):
                raise RuntimeError("byte %d did not arrive within 2 s" % i)
            t1 = now()
            got = reader.read_serial()
        if got != byte:
            raise RuntimeError("sent %r, got %r" % (byte, got))
        out.append(t1 - t0)
    return out
