"""Whole-program test rig: runs the real programs of the tree on simulated hardware.

Each unit is a network namespace plus, for every program started in it, a private mount
namespace that lays pseudo-terminals over /dev/ttyS3 and /dev/ttyS2, a FIFO over
/dev/watchdog, plain files under /sys/class/leds and the unit's own folder over /tmp
(enter.sh). Everything a Sandbox starts or creates is stopped and removed by close().
See README.md beside this file.
"""

import base64
import ctypes
import errno
import fcntl
import itertools
import json
import os
import pty
import re
import select
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
WORK_ROOT = "/var/tmp/tolvane-rig"
PROGRAM_ENV = {
    "QT_MESSAGE_PATTERN": "%{file}:%{line} %{function}: %{message}",
    "QT_FORCE_STDERR_LOGGING": "1",
    "ASAN_OPTIONS": "detect_leaks=1",
}
_counter = itertools.count()


def build_dir():
    return os.environ.get("TOLVANE_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))


_binaries = {}


def sanitized():
    """Whether the build tree is built with the sanitizers (whose allocator keeps freed
    memory in quarantine, so resident memory says little there)."""
    try:
        with open(os.path.join(build_dir(), "CMakeCache.txt")) as f:
            return any(l.strip().upper() in ("TOLVANE_SANITIZE:BOOL=ON", "TOLVANE_SANITIZE:BOOL=1")
                       for l in f)
    except OSError:
        return False


def binary(name):
    """Absolute path of a program or tool built in the build tree."""
    if not _binaries:
        for root, dirs, files in os.walk(build_dir()):
            dirs[:] = [d for d in dirs if d not in ("CMakeFiles", "Testing")]
            for f in files:
                path = os.path.join(root, f)
                if os.access(path, os.X_OK) and f not in _binaries:
                    _binaries[f] = path
    if name not in _binaries:
        raise FileNotFoundError("not built: " + name)
    return _binaries[name]


def command(name, *args):
    """argv that runs a built program with args: directly, or in a cross-build through the
    emulator that TOLVANE_EMULATOR names (e.g. "qemu-arm -L /path/to/sysroot")."""
    return shlex.split(os.environ.get("TOLVANE_EMULATOR", "")) + [binary(name)] + list(args)


def _sh(*argv, check=True):
    return subprocess.run(argv, check=check, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)


PANEL_HANDSHAKE = bytes.fromhex("5045525000010000")  # "PERP" 00 01 00 00
LINK_HANDSHAKE = bytes.fromhex("4e4f525600030000")   # "NORV" 00 03 00 00


# Two paired units: "a" in server mode, "b" in client mode with a as its destination.
PAIR_A_ADDR, PAIR_B_ADDR = "10.77.0.1", "10.77.0.2"


def write_pair_configs(a, b, extra_a="", extra_b=""):
    """Writes config.conf of a pair's units, with extra lines for each."""
    a.write_config("[General]\nsystem_mode=1\n" + extra_a)
    b.write_config("[General]\nsystem_mode=0\ndst_ip=%s\n%s" % (PAIR_A_ADDR, extra_b))


def pair_linked(a, b, timeout=10):
    """True once both units' LINK LEDs are on, False when timeout seconds pass first."""
    return wait_until(lambda: a.led("LINK") == "1\n" and b.led("LINK") == "1\n", timeout)


def wait_until(check, timeout=5.0):
    """True as soon as check() is, False when timeout seconds pass first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if check():
            return True
        time.sleep(0.05)
    return bool(check())


def rss_kb(pid):
    """Resident memory of a process in KiB (VmRSS), and its peak (VmHWM)."""
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def recv_exactly(sock, n):
    """n bytes from a stream socket, fewer only when the peer closes (or the socket times out)."""
    out = b""
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            break
        out += chunk
    return out


def output_command(states):
    """The controller message that sets the eight outputs: type 5, then one byte each."""
    return bytes([5] + list(states))


def panel_frame(command, value):
    """A panel's uint16 value frame: the command (button) number in the type-specific field."""
    return (11).to_bytes(4, "big") + bytes([0, 2]) + command.to_bytes(2, "big") \
        + bytes([1]) + (value & 0xFFFF).to_bytes(2, "big")


# --- a WebSocket client for the browser interface on port 8080 (RFC 6455, text messages)

class WebClient:
    """One WebSocket client: the handshake, masked text messages out, messages in.
    recv_json() returns the next message as a dict, or None when none came in time."""

    def __init__(self, sock, path="/", host="unit"):
        self.sock = sock
        self._buf = b""
        self.closed = False
        self.close_code = None
        key = base64.b64encode(os.urandom(16)).decode()
        sock.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
                      "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                      "Sec-WebSocket-Version: 13\r\n\r\n" % (path, host, key)).encode())
        while b"\r\n\r\n" not in self._buf:
            chunk = sock.recv(4096)
            if not chunk:
                raise ConnectionError("no WebSocket handshake response")
            self._buf += chunk
        head, self._buf = self._buf.split(b"\r\n\r\n", 1)
        self.response = head.decode(errors="replace")
        if not self.response.startswith("HTTP/1.1 101"):
            raise ConnectionError("WebSocket upgrade refused: " + self.response)

    @classmethod
    def connect(cls, unit, port=8080, path="/", timeout=5.0):
        sock = unit.connect_tcp(port, timeout=timeout)
        sock.settimeout(timeout)
        return cls(sock, path)

    @staticmethod
    def frame(opcode, payload, fin=True, mask=True):
        """One client frame; tests use it to build what no well-behaved client sends."""
        head = bytearray([(0x80 if fin else 0) | opcode])
        n = len(payload)
        bit = 0x80 if mask else 0
        if n < 126:
            head.append(bit | n)
        elif n < 65536:
            head.append(bit | 126)
            head += struct.pack(">H", n)
        else:
            head.append(bit | 127)
            head += struct.pack(">Q", n)
        if not mask:
            return bytes(head) + payload
        key = os.urandom(4)
        masked = bytes(b ^ key[i % 4] for i, b in enumerate(payload)) if n < 4096 else \
            (int.from_bytes(payload, "big") ^ int.from_bytes((key * (n // 4 + 1))[:n], "big")).to_bytes(n, "big")
        return bytes(head) + key + masked

    def send_text(self, text):
        self.sock.sendall(self.frame(0x1, text.encode() if isinstance(text, str) else text))

    def send_json(self, obj):
        self.send_text(json.dumps(obj))

    def _fill(self, n, deadline):
        while len(self._buf) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise socket.timeout()
            self.sock.settimeout(left)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self._buf += chunk

    def _take(self, n, deadline):
        self._fill(n, deadline)
        out, self._buf = self._buf[:n], self._buf[n:]
        return out

    def recv_message(self, timeout=5.0):
        """The next text message as str; None on time-out or once the server has closed."""
        deadline = time.monotonic() + timeout
        parts = b""
        try:
            while True:
                b0, b1 = self._take(2, deadline)
                n = b1 & 0x7F
                if n == 126:
                    n = struct.unpack(">H", self._take(2, deadline))[0]
                elif n == 127:
                    n = struct.unpack(">Q", self._take(8, deadline))[0]
                payload = self._take(n, deadline)
                opcode = b0 & 0x0F
                if opcode == 0x8:
                    self.closed = True
                    self.close_code = struct.unpack(">H", payload[:2])[0] if len(payload) >= 2 else None
                    return None
                if opcode == 0x9:  # ping
                    self.sock.sendall(self.frame(0xA, payload))
                    continue
                if opcode in (0x1, 0x0):
                    parts += payload
                    if b0 & 0x80:
                        return parts.decode()
        except (socket.timeout, BlockingIOError):
            return None
        except (ConnectionError, OSError):
            self.closed = True
            return None

    def recv_json(self, timeout=5.0):
        text = self.recv_message(timeout)
        return json.loads(text) if text is not None else None

    def recv_all(self, timeout=0.3):
        """Every message that arrives until none has come for timeout seconds."""
        out = []
        while True:
            m = self.recv_json(timeout)
            if m is None:
                return out
            out.append(m)

    def recv_type(self, type_, timeout=5.0):
        """Skips messages until one of the given type comes; None if none in time."""
        deadline = time.monotonic() + timeout
        while True:
            m = self.recv_json(max(0.0, deadline - time.monotonic()))
            if m is None or m.get("type") == type_:
                return m

    def close(self):
        try:
            self.sock.sendall(self.frame(0x8, struct.pack(">H", 1000)))
        except OSError:
            pass
        self.sock.close()

def readme_blocks(readme, lang):
    """The fenced blocks marked ```lang of a document of the tree (path from the top), in
    order. Tests run the commands and configuration of the tools' READMEs from here, so that
    the documents cannot drift from the programs."""
    blocks, current = [], None
    with open(os.path.join(SOURCE_DIR, readme)) as f:
        for line in f:
            fence = line.strip()
            if current is None and fence == "```" + lang:
                current = []
            elif current is not None and fence == "```":
                blocks.append("".join(current))
                current = None
            elif current is not None:
                current.append(line)
    return blocks


def tool_path(*names):
    """A PATH under which the named programs of the build tree run by their bare names, as the
    READMEs write them."""
    dirs = []
    for name in names:
        d = os.path.dirname(binary(name))
        if d not in dirs:
            dirs.append(d)
    return ":".join(dirs + [os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin")])


def source_tree(folder):
    """folder/tree: the top of the source tree with the build under test as build/, where the
    READMEs' commands are run from. Returns its path."""
    tree = os.path.join(folder, "tree")
    os.makedirs(tree)
    for name in os.listdir(SOURCE_DIR):
        if not name.startswith(("build", ".")):
            os.symlink(os.path.join(SOURCE_DIR, name), os.path.join(tree, name))
    os.symlink(build_dir(), os.path.join(tree, "build"))
    return tree


# --- the I/O controller's serial frame format, written independently of mcu/ as a test oracle

def encode_7391(message):
    """One frame for a message: 05 05, 14-bit length, stuffed payload, check value, 06 06."""
    n = len(message)
    out = bytearray([5, 5, 0x80 | (n & 0x7F), 0x80 | ((n >> 7) & 0x7F)])
    for b in message:
        out += bytes([4, b + 8]) if 4 <= b <= 0x0B else bytes([b])
    check = (-sum(out[2:])) % 16384
    out += bytes([0x80 | (check & 0x7F), 0x80 | ((check >> 7) & 0x7F), 6, 6])
    return bytes(out)


def _decode_one(frame):
    body = frame[2:-4]
    check = (-sum(body)) % 16384
    if frame[-4] != 0x80 | (check & 0x7F) or frame[-3] != 0x80 | ((check >> 7) & 0x7F):
        return None
    out, esc = bytearray(), False
    for b in frame[4:-4]:
        if b == 4:
            esc = True
            continue
        out.append((b - 8) & 0xFF if esc else b)
        esc = False
    return bytes(out)


def decode_frames_7391(buf):
    """Cuts complete frames out of buf. Returns (messages, unconsumed rest); bad frames are dropped."""
    messages = []
    buf = bytes(buf)
    while True:
        start = buf.find(b"\x05\x05")
        if start < 0:
            return messages, buf[-1:] if buf.endswith(b"\x05") else b""
        buf = buf[start:]
        end = buf.find(b"\x06\x06", 2)
        if end < 0:
            return messages, buf
        restart = buf.find(b"\x05\x05", 2, end)
        if restart > 0:
            buf = buf[restart:]
            continue
        msg = _decode_one(buf[:end + 2]) if end + 2 >= 8 else None
        if msg:
            messages.append(msg)
        buf = buf[end + 2:]


# --- processes

class Proc:
    """A process started by the rig; its output goes to files that the test reads. Its
    standard input is a pipe the test writes (stdin=True), /dev/null (False) or the given
    file descriptor (e.g. a pseudo-terminal slave, to play a person at a terminal)."""

    def __init__(self, argv, out_dir, stdin=False, **popen_kw):
        n = next(_counter)
        base = os.path.basename(argv[0]) if argv else "proc"
        self.stdout_path = os.path.join(out_dir, "%s.%d.out" % (base, n))
        self.stderr_path = os.path.join(out_dir, "%s.%d.err" % (base, n))
        if stdin is True:
            source = subprocess.PIPE
        elif stdin is False or stdin is None:
            source = subprocess.DEVNULL
        else:
            source = stdin
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.popen = subprocess.Popen(
                argv, stdout=out, stderr=err, stdin=source,
                start_new_session=True, **popen_kw)
        self.pid = self.popen.pid

    def alive(self):
        return self.popen.poll() is None

    def write_stdin(self, data):
        if isinstance(data, str):
            data = data.encode()
        self.popen.stdin.write(data)
        self.popen.stdin.flush()

    def stdout_text(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stderr_text(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_for(self, pattern, timeout=5.0, stream="stderr"):
        """True once the text (or compiled regex) shows in the stream."""
        read = self.stderr_text if stream == "stderr" else self.stdout_text
        deadline = time.monotonic() + timeout
        while True:
            text = read()
            if (pattern.search(text) if hasattr(pattern, "search") else pattern in text):
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)

    def signal(self, sig):
        if self.alive():
            os.kill(self.pid, sig)

    def sigint(self):
        self.signal(signal.SIGINT)

    def wait(self, timeout=10.0):
        return self.popen.wait(timeout)

    def stop(self):
        if self.alive():
            self.signal(signal.SIGTERM)
            try:
                self.popen.wait(2)
            except subprocess.TimeoutExpired:
                self.signal(signal.SIGKILL)
        try:
            self.popen.wait(5)
        except subprocess.TimeoutExpired:
            pass
        if self.popen.stdin:
            try:
                self.popen.stdin.close()
            except OSError:
                pass


# --- pseudo-terminals

class Pty:
    """A raw pseudo-terminal pair; the program opens the slave, the test holds the master."""

    def __init__(self):
        self.master, self._slave = pty.openpty()
        tty.setraw(self._slave)
        os.set_blocking(self.master, False)
        self.slave = os.ttyname(self._slave)

    def write(self, data, timeout=30.0):
        """Writes all of data; raises TimeoutError when the line stops taking bytes."""
        view = memoryview(bytes(data))
        deadline = time.monotonic() + timeout
        while view:
            try:
                n = os.write(self.master, view)
                view = view[n:]
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise TimeoutError("pseudo-terminal %s not read" % self.slave)
                select.select([], [self.master], [], 0.1)

    def read_available(self):
        out = bytearray()
        while True:
            try:
                chunk = os.read(self.master, 65536)
            except (BlockingIOError, OSError):
                break
            if not chunk:
                break
            out += chunk
        return bytes(out)

    def read(self, n, timeout=5.0):
        """Up to n bytes, waiting at most timeout seconds for them."""
        out = bytearray()
        deadline = time.monotonic() + timeout
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            select.select([self.master], [], [], min(left, 0.05))
            out += self.read_available()
        return bytes(out)

    def close(self):
        for fd in (self.master, self._slave):
            try:
                os.close(fd)
            except OSError:
                pass


class McuLine:
    """Plays the I/O controller on a unit's /dev/ttyS3: acknowledges every frame at once and
    keeps the decoded messages. send() writes a message (e.g. an input report) as a frame."""

    def __init__(self, line, ack=True):
        self.pty = line
        self.ack = ack
        self._messages = []
        self._rest = b""
        self._cond = threading.Condition()
        self._stopping = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stopping:
            select.select([self.pty.master], [], [], 0.05)
            data = self.pty.read_available()
            if not data:
                continue
            msgs, self._rest = decode_frames_7391(self._rest + data)
            for m in msgs:
                if self.ack:
                    self.pty.write(encode_7391(b"\x00"))
                with self._cond:
                    self._messages.append(m)
                    self._cond.notify_all()

    def send(self, message):
        self.pty.write(encode_7391(bytes(message)))

    def send_gpi(self, states):
        self.send(bytes([3] + list(states)))

    def messages(self, count=0, timeout=5.0):
        """All messages received so far, after waiting up to timeout for at least count."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self._messages) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            return list(self._messages)

    def close(self):
        self._stopping = True
        self._thread.join(2)


# --- namespaces

_libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNET = 0x40000000


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        e = ctypes.get_errno()
        raise OSError(e, os.strerror(e))


class Unit:
    """One simulated unit: a network namespace and the folders its programs see."""

    def __init__(self, sandbox, name):
        self.sandbox = sandbox
        self.name = name
        self.netns = "tvrig%d-%d-%s" % (os.getpid(), next(_counter), name)
        self.dir = os.path.join(sandbox.dir, name)
        self.home = os.path.join(self.dir, "home")
        self.tmp = os.path.join(self.dir, "tmp")
        self.leds = os.path.join(self.dir, "leds")
        self.logs = os.path.join(self.dir, "logs")
        for d in (self.home + "/.config", self.tmp, self.leds + "/LINK", self.logs,
                  self.dir + "/dev", self.dir + "/sysclass"):
            os.makedirs(d, exist_ok=True)
        os.chmod(self.tmp, 0o1777)
        open(self.leds + "/LINK/brightness", "w").close()
        self._overlays = []
        self._ptys = {}
        for dev in ("ttyS3", "ttyS2"):
            p = Pty()
            self._ptys[dev] = p
            with open(os.path.join(self.dir, dev + ".path"), "w") as f:
                f.write(p.slave)
        fifo = os.path.join(self.dir, "watchdog")
        os.mkfifo(fifo)
        # Held open for reading so a writer's open never blocks.
        self._watchdog_fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        _sh("ip", "netns", "add", self.netns)
        _sh("ip", "-n", self.netns, "link", "set", "lo", "up")

    # hardware seen by the programs
    def pty(self, dev):
        return self._ptys[dev]

    def watchdog_read(self):
        out = bytearray()
        while True:
            try:
                chunk = os.read(self._watchdog_fd, 4096)
            except BlockingIOError:
                break
            if not chunk:
                break
            out += chunk
        return bytes(out)

    def led(self, name="LINK"):
        with open(os.path.join(self.leds, name, "brightness")) as f:
            return f.read()

    @property
    def config_path(self):
        return os.path.join(self.home, ".config", "config.conf")

    def write_config(self, text):
        with open(self.config_path, "w") as f:
            f.write(text)

    def overlay(self, path):
        """Makes path an overlay for programs started from now on; returns the upper layer."""
        key = path.replace("/", "_")
        upper = os.path.join(self.dir, "ovl", key, "upper")
        os.makedirs(upper, exist_ok=True)
        os.makedirs(os.path.join(self.dir, "ovl", key, "work"), exist_ok=True)
        if path not in self._overlays:
            self._overlays.append(path)
        return upper

    # running programs
    def _env(self, env):
        e = dict(os.environ)
        e.update(PROGRAM_ENV)
        e["HOME"] = self.home
        e["XDG_CONFIG_HOME"] = self.home + "/.config"
        e["XDG_RUNTIME_DIR"] = "/tmp"
        e["TMPDIR"] = "/tmp"
        if env:
            e.update(env)
        return e

    def _enter_argv(self, argv):
        keep = sorted({"/tmp/" + p[len("/tmp/"):].split("/")[0]
                       for p in (build_dir(), SOURCE_DIR) if p.startswith("/tmp/")})
        return (["ip", "netns", "exec", self.netns, "unshare", "-m", "--propagation", "private",
                 "/bin/sh", os.path.join(HERE, "enter.sh"), self.dir, ":".join(keep),
                 ":".join(self._overlays), "--"] + list(argv))

    def start(self, argv, env=None, stdin=False):
        """Starts a program inside the unit (network and mount namespace); returns a Proc."""
        return self.sandbox._track(Proc(self._enter_argv(argv), self.logs, stdin=stdin,
                                        env=self._env(env)))

    def run(self, argv, env=None, timeout=30, input=None):
        """Runs a program inside the unit to its end; returns a CompletedProcess (text)."""
        return subprocess.run(self._enter_argv(argv), env=self._env(env), timeout=timeout,
                              input=input, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)

    def spawn(self, argv, env=None, stdin=False, **kw):
        """Starts a helper process in the unit's network namespace only (host file system)."""
        e = dict(os.environ)
        e.update(PROGRAM_ENV)
        if env:
            e.update(env)
        return self.sandbox._track(Proc(["nsenter", "--net=/run/netns/" + self.netns] + list(argv),
                                        self.logs, stdin=stdin, env=e, **kw))

    def socket(self, family=socket.AF_INET, type=socket.SOCK_STREAM, proto=0):
        """A socket that belongs to the unit's network namespace."""
        own = os.open("/proc/self/ns/net", os.O_RDONLY)
        target = os.open("/run/netns/" + self.netns, os.O_RDONLY)
        try:
            _setns(target)
            try:
                return socket.socket(family, type, proto)
            finally:
                _setns(own)
        finally:
            os.close(own)
            os.close(target)

    def connect_tcp(self, port, host="127.0.0.1", timeout=5.0):
        """A TCP connection from inside the unit; retries while the port is not yet open."""
        deadline = time.monotonic() + timeout
        while True:
            s = self.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.settimeout(2.0)
            try:
                s.connect((host, port))
                return s
            except OSError:
                s.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def ip(self, *args):
        """Runs the ip command in the unit's network namespace, e.g. ip("route", "add", ...)."""
        return _sh("ip", "-n", self.netns, *args).stdout

    def listening(self, port):
        """True when a TCP socket of the unit listens on the port."""
        r = _sh("ip", "netns", "exec", self.netns, "ss", "-Hltn", "sport", "=", ":%d" % port,
                check=False)
        return bool(r.stdout.strip())

    def start_tolvane(self, *args, ports=(8080, 10014)):
        """Starts tolvane and waits until it listens on the web port and on the last of its
        five control-panel ports (a unit where 8080 is taken passes ports=(10014,))."""
        p = self.start(command("tolvane", *args))
        if not wait_until(lambda: all(self.listening(n) for n in ports) or not p.alive(), 20) \
                or not p.alive():
            raise AssertionError("tolvane did not start:\n" + p.stderr_text())
        return p

    def open_panel(self, port, timeout=5.0):
        """A control panel that is greeted on the port, answers the handshake and gets its five
        LED frames; returns the socket. Raises when the unit does not greet within timeout."""
        sock = self.connect_tcp(port, timeout=timeout)
        try:
            sock.settimeout(timeout)
            if recv_exactly(sock, 8) != PANEL_HANDSHAKE:
                raise ConnectionError("panel port %d did not greet" % port)
            sock.sendall(PANEL_HANDSHAKE)
            if len(recv_exactly(sock, 55)) != 55:
                raise ConnectionError("panel port %d sent no LED frames" % port)
            return sock
        except BaseException:
            sock.close()
            raise

    def pids(self):
        r = _sh("ip", "netns", "pids", self.netns, check=False)
        return [int(p) for p in r.stdout.split()]

    def _close(self):
        for pid in self.pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        _sh("ip", "netns", "del", self.netns, check=False)
        for p in self._ptys.values():
            p.close()
        os.close(self._watchdog_fd)


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def sweep_stale():
    """Removes what sandboxes of test processes that died without close() left behind
    (a test killed on its time-out): their namespaces, processes and folders."""
    for line in _sh("ip", "netns", "list", check=False).stdout.splitlines():
        ns = line.split()[0] if line.split() else ""
        m = re.match(r"tvrig(\d+)-", ns)
        if not m or _pid_alive(int(m.group(1))):
            continue
        for pid in _sh("ip", "netns", "pids", ns, check=False).stdout.split():
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        _sh("ip", "netns", "del", ns, check=False)
    if os.path.isdir(WORK_ROOT):
        for name in os.listdir(WORK_ROOT):
            m = re.match(r"(\d+)-", name)
            if m and not _pid_alive(int(m.group(1))):
                path = os.path.join(WORK_ROOT, name)
                _sh("umount", "--lazy", path, check=False)
                shutil.rmtree(path, ignore_errors=True)


class Sandbox:
    """Owns units, links and processes of one test; close() removes all of them."""

    def __init__(self):
        sweep_stale()
        os.makedirs(WORK_ROOT, exist_ok=True)
        self.dir = os.path.join(WORK_ROOT, "%d-%d" % (os.getpid(), next(_counter)))
        os.makedirs(self.dir)
        # Everything a unit sees of the test (LEDs, /tmp, overlay layers) lies on a tmpfs.
        self._tmpfs = _sh("mount", "-t", "tmpfs", "-o", "mode=0755", "tolvane-rig", self.dir,
                          check=False).returncode == 0
        self.logs = os.path.join(self.dir, "logs")
        os.makedirs(self.logs)
        self._units = []
        self._procs = []
        self._lines = []
        self._extra_netns = []
        self._host_links = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _track(self, proc):
        self._procs.append(proc)
        return proc

    def unit(self, name="a"):
        u = Unit(self, name)
        self._units.append(u)
        return u

    def pair(self, extra_a="", extra_b=""):
        """Units "a" and "b" joined by a veth at PAIR_A_ADDR and PAIR_B_ADDR, their configs
        written (write_pair_configs); the controllers and the programs are the caller's."""
        a, b = self.unit("a"), self.unit("b")
        self.link(a, b, PAIR_A_ADDR + "/24", PAIR_B_ADDR + "/24")
        write_pair_configs(a, b, extra_a, extra_b)
        return a, b

    def mcu_line(self, unit, ack=True):
        """rig.McuLine on the unit's /dev/ttyS3, stopped by close()."""
        line = McuLine(unit.pty("ttyS3"), ack)
        self._lines.append(line)
        return line

    def spawn(self, argv, env=None, stdin=False, **kw):
        """A helper process (e.g. a simulator) on the host."""
        e = dict(os.environ)
        e.update(PROGRAM_ENV)
        if env:
            e.update(env)
        return self._track(Proc(list(argv), self.logs, stdin=stdin, env=e, **kw))

    def _veth(self, ns_a, name_a, ns_b, name_b):
        n = next(_counter)
        tmp_a, tmp_b = "rv%da%d" % (os.getpid() % 10000, n), "rv%db%d" % (os.getpid() % 10000, n)
        _sh("ip", "link", "add", tmp_a, "netns", ns_a, "type", "veth", "peer", "name", tmp_b,
            "netns", ns_b)
        _sh("ip", "-n", ns_a, "link", "set", tmp_a, "name", name_a)
        _sh("ip", "-n", ns_b, "link", "set", tmp_b, "name", name_b)

    @staticmethod
    def _address(unit, ifname, addr, mac):
        if mac:
            _sh("ip", "-n", unit.netns, "link", "set", ifname, "address", mac)
        if addr:
            _sh("ip", "-n", unit.netns, "addr", "add", addr, "dev", ifname)
        _sh("ip", "-n", unit.netns, "link", "set", ifname, "up")

    def link(self, a, b, addr_a=None, addr_b=None, ifname="eth0", mac_a=None, mac_b=None):
        """A veth pair between two units, named ifname on both sides."""
        self._veth(a.netns, ifname, b.netns, ifname)
        self._address(a, ifname, addr_a, mac_a)
        self._address(b, ifname, addr_b, mac_b)

    def host_link(self, unit, host_addr, unit_addr, ifname="host0"):
        """A veth pair from this machine into the unit (ifname inside), so programs here,
        a browser say, reach the unit at unit_addr. Returns the host-side interface name; it
        is deleted on close."""
        host_if = "tvh%d-%d" % (os.getpid() % 100000, next(_counter))
        tmp = "rv%dh%d" % (os.getpid() % 10000, next(_counter))
        _sh("ip", "link", "add", host_if, "type", "veth", "peer", "name", tmp, "netns", unit.netns)
        _sh("ip", "-n", unit.netns, "link", "set", tmp, "name", ifname)
        _sh("ip", "addr", "add", host_addr, "dev", host_if)
        _sh("ip", "link", "set", host_if, "up")
        self._host_links.append(host_if)
        self._address(unit, ifname, unit_addr, None)
        return host_if

    def lan(self, units, addrs, macs=None, ifname="eth0"):
        """Units on one Ethernet segment: a bridge in a namespace of its own."""
        br = "tvrig%d-%d-lan" % (os.getpid(), next(_counter))
        _sh("ip", "netns", "add", br)
        self._extra_netns.append(br)
        _sh("ip", "-n", br, "link", "add", "br0", "type", "bridge")
        _sh("ip", "-n", br, "link", "set", "br0", "up")
        for i, u in enumerate(units):
            port = "p%d" % i
            self._veth(u.netns, ifname, br, port)
            _sh("ip", "-n", br, "link", "set", port, "master", "br0")
            _sh("ip", "-n", br, "link", "set", port, "up")
            self._address(u, ifname, addrs[i] if addrs else None, macs[i] if macs else None)

    def close(self):
        for line in self._lines:
            line.close()
        for p in reversed(self._procs):
            p.stop()
        # The kernel would take a veth's host end away with the unit's namespace, but only
        # some time after the namespace is deleted.
        for link in self._host_links:
            _sh("ip", "link", "del", link, check=False)
        for u in self._units:
            u._close()
        for ns in self._extra_netns:
            _sh("ip", "netns", "del", ns, check=False)
        if self._tmpfs:
            _sh("umount", "--lazy", self.dir, check=False)
        shutil.rmtree(self.dir, ignore_errors=True)
