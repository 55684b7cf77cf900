#!/usr/bin/env python3
"""End-to-end throughput of a session: a command prints a large file inside
a session with one client attached, measured side by side for a bare
pseudo-terminal (the physical limit), kiv (over its Unix socket, and over
TCP on loopback with the key's encrypted channel), dtach and tmux.

    bench/session_throughput.py [--kiv build/kiv] [--size-mb 50] [--rounds 3]
                                [--tools raw,kiv,kivtcp,dtach,tmux] [--clients N]

For every tool and workload it reports the throughput seen by the client's
terminal, the server's and the attach client's CPU seconds per MB and the
server's resident memory once the 10000-line scrollback is full; then the
keystroke round trip (a key typed into the client's terminal until its echo
comes back out of it). With --clients N, N-1 more clients are attached to
kiv's sessions and drained meanwhile (the daemon's cost of many clients).
tmux is installed with apt-get when missing. Standard library only.
"""
import argparse
import os
import pty
import random
import select
import shutil
import signal
import socket
import statistics
import string
import subprocess
import sys
import tempfile
import termios
import threading
import fcntl
import struct
import time

COLS, ROWS = 80, 24
TICK = os.sysconf("SC_CLK_TCK")


def make_plain(path, size):
    rnd = random.Random(1)
    line = "".join(rnd.choice(string.ascii_lowercase) for _ in range(80)) + "\n"
    with open(path, "w") as f:
        written = 0
        while written < size:
            f.write(line)
            written += len(line)


def make_colour(path, size):
    """80 visible columns per line, every word in its own colour mix."""
    rnd = random.Random(2)
    lines = []
    for _ in range(200):
        cols, parts = 0, []
        while cols < 80:
            word = "".join(rnd.choice(string.ascii_lowercase) for _ in range(rnd.randint(2, 7)))
            word = word[: 80 - cols]
            sgr = "38;5;%d" % rnd.randint(16, 255)
            if rnd.random() < 0.3:
                sgr += ";1"
            if rnd.random() < 0.2:
                sgr += ";4"
            if rnd.random() < 0.1:
                sgr += ";7"
            parts.append("\x1b[%sm%s\x1b[0m" % (sgr, word))
            cols += len(word)
        lines.append("".join(parts) + "\n")
    with open(path, "w") as f:
        written, i = 0, 0
        while written < size:
            f.write(lines[i % len(lines)])
            written += len(lines[i % len(lines)])
            i += 1


def session_script(work):
    """The session's program: serves `cat FILE MARK` lines from a FIFO."""
    fifo = os.path.join(work, "ctl")
    if not os.path.exists(fifo):
        os.mkfifo(fifo)
    path = os.path.join(work, "session.sh")
    with open(path, "w") as f:
        f.write("#!/bin/sh\n"
                "echo $$ > %s\n"
                "stty -echo\n"
                "while true; do\n"
                "  read cmd file mark < %s || continue\n"
                "  case $cmd in\n"
                "    cat) cat \"$file\"; printf '\\033[0m\\r\\n%%s\\r\\n' \"$mark\";;\n"
                "    ping) printf '%%s\\r\\n' \"$file\";;\n"
                "    keys) stty raw -echo; printf '%%s\\r\\n' \"$file\"; exec cat;;\n"
                "  esac\n"
                "done\n" % (os.path.join(work, "pid"), fifo))
    os.chmod(path, 0o755)
    return path, fifo


class PtyClient:
    """A program on a pty the benchmark owns, drained continuously."""

    def __init__(self, argv, env):
        self.master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLS, 0, 0))
        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, env=env,
                                     start_new_session=True,
                                     preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        self.tail = b""
        self.total = 0

    def wait_for(self, marker, timeout):
        """Drains until `marker` has been seen; returns False on timeout or
        when the client goes away."""
        deadline = time.monotonic() + timeout
        marker = marker.encode()
        while time.monotonic() < deadline:
            r, _, _ = select.select([self.master], [], [], 0.2)
            if not r:
                if self.proc.poll() is not None:
                    return False
                continue
            try:
                data = os.read(self.master, 65536)
            except OSError:
                return False
            if not data:
                return False
            self.total += len(data)
            window = self.tail + data
            if marker in window:
                self.tail = b""
                return True
            self.tail = window[-len(marker):]
        return False

    def keystrokes(self, count):
        """Round trips of one letter typed into the terminal until it comes
        back out (the session echoes it), in microseconds."""
        samples = []
        for i in range(count + 20):
            letter = bytes([ord("a") + i % 26])
            start = time.perf_counter()
            os.write(self.master, letter)
            seen = False
            while not seen:
                r, _, _ = select.select([self.master], [], [], 5)
                if not r:
                    raise RuntimeError("keystroke lost")
                seen = letter in os.read(self.master, 65536)
            if i >= 20:  # warm-up
                samples.append((time.perf_counter() - start) * 1e6)
            time.sleep(0.002)
        return samples

    def drain_in_background(self):
        """For a client nobody watches: its output is read and dropped."""
        def drain():
            while self.master >= 0:
                try:
                    r, _, _ = select.select([self.master], [], [], 0.2)
                    if r and not os.read(self.master, 65536):
                        return
                except (OSError, ValueError):
                    return
        threading.Thread(target=drain, daemon=True).start()

    def close(self):
        if self.master < 0:
            return
        try:
            self.proc.kill()
        except ProcessLookupError:
            pass
        self.proc.wait()
        os.close(self.master)
        self.master = -1


def proc_cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def proc_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Raw:
    name = "bare pty"

    def __init__(self, work, env, kiv):
        self.work, self.env = work, env

    def start(self, script):
        self.client = PtyClient([script], self.env)
        return None

    def attach(self):
        return self.client

    def stop(self):
        self.client.close()


class Kiv:
    name = "kiv"

    def __init__(self, work, env, kiv):
        self.work, self.kiv = work, kiv
        # Its saved records stay in the scratch directory, not among the user's.
        self.env = dict(env, XDG_RUNTIME_DIR=os.path.join(work, "run"),
                        XDG_STATE_HOME=os.path.join(work, "state"))

    def start(self, script):
        self.daemon = subprocess.Popen([self.kiv, "daemon", "bench", script], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, start_new_session=True)
        sock = os.path.join(self.work, "run", "kiv", "bench.sock")
        for _ in range(500):
            if os.path.exists(sock):
                break
            time.sleep(0.01)
        return self.daemon.pid

    def attach(self):
        return PtyClient([self.kiv, "attach", "bench"], self.env)

    def stop(self):
        self.daemon.terminate()
        self.daemon.wait()


class KivBaseline(Kiv):
    """Another build of kiv (--baseline), to compare two versions in one run."""
    name = "kiv baseline"
    binary = None

    def __init__(self, work, env, kiv):
        super().__init__(work, env, self.binary)


class KivTcp(Kiv):
    """kiv with the client over TCP on loopback, behind the key's channel:
    the client's runtime directory holds no socket of the session."""
    name = "kiv tcp"

    def __init__(self, work, env, kiv):
        super().__init__(work, env, kiv)
        self.env["KIV_KEY_FILE"] = os.path.join(work, "key")
        self.listen = "127.0.0.1:%d" % free_port()

    def start(self, script):
        self.daemon = subprocess.Popen([self.kiv, "-l", self.listen, "daemon", "bench", script],
                                       env=self.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       start_new_session=True)
        host, port = self.listen.rsplit(":", 1)
        for _ in range(500):
            try:
                socket.create_connection((host, int(port)), timeout=1).close()
                break
            except OSError:
                time.sleep(0.01)
        return self.daemon.pid

    def attach(self):
        env = dict(self.env, XDG_RUNTIME_DIR=os.path.join(self.work, "elsewhere"))
        return PtyClient([self.kiv, "-l", self.listen, "attach", "bench"], env)


def free_port():
    """A port whose next one is free too, so the daemon takes the first."""
    for _ in range(100):
        port = random.randrange(40000, 60000)
        try:
            for p in (port, port + 1):
                s = socket.socket()
                s.bind(("127.0.0.1", p))
                s.close()
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


class Dtach:
    name = "dtach"

    def __init__(self, work, env, kiv):
        self.work, self.env = work, env
        self.sock = os.path.join(work, "dtach.sock")

    def start(self, script):
        subprocess.run(["dtach", "-n", self.sock, "-z", script], env=self.env, check=True)
        pid_file = os.path.join(self.work, "pid")
        for _ in range(500):
            if os.path.exists(pid_file) and open(pid_file).read().strip():
                break
            time.sleep(0.01)
        self.program = int(open(pid_file).read())
        # The server is the parent of the session's program.
        with open("/proc/%d/stat" % self.program) as f:
            self.server = int(f.read().rsplit(")", 1)[1].split()[1])
        return self.server

    def attach(self):
        return PtyClient(["dtach", "-a", self.sock, "-z", "-r", "none"], self.env)

    def stop(self):
        for pid in (self.program, self.server):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


class Tmux:
    name = "tmux"

    def __init__(self, work, env, kiv):
        self.work, self.env = work, dict(env)
        self.sock = os.path.join(work, "tmux.sock")
        self.conf = os.path.join(work, "tmux.conf")
        with open(self.conf, "w") as f:
            f.write("set -g history-limit 10000\nset -g status off\n")
        self.env.pop("TMUX", None)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-S", self.sock, "-f", self.conf] + list(args),
                              env=self.env, capture_output=True, text=True).stdout

    def start(self, script):
        self.tmux("new-session", "-d", "-s", "bench", "-x", str(COLS), "-y", str(ROWS), script)
        return int(self.tmux("display", "-p", "-t", "bench", "#{pid}").strip())

    def attach(self):
        return PtyClient(["tmux", "-S", self.sock, "-f", self.conf, "attach", "-t", "bench"],
                         self.env)

    def stop(self):
        self.tmux("kill-server")


def measure(tool_cls, work, env, kiv, files, size, clients=1, keys=200):
    """One round for one tool: every workload in one session, then the
    keystroke round trips."""
    tool_work = tempfile.mkdtemp(dir=work, prefix=tool_cls.name.replace(" ", "") + ".")
    script, fifo = session_script(tool_work)
    tool = tool_cls(tool_work, env, kiv)
    results = {}
    server = tool.start(script)
    client = tool.attach()
    others = []
    try:
        if isinstance(tool, Kiv):
            for _ in range(clients - 1):
                others.append(tool.attach())
                others[-1].drain_in_background()
        # Until the client is attached, a server without a screen (dtach)
        # shows nobody the answer: ask again.
        for attempt in range(20):
            token = "ready%06d" % random.randrange(10 ** 6)
            with open(fifo, "w") as f:
                f.write("ping %s x\n" % token)
            if client.wait_for(token, 1):
                break
        else:
            raise RuntimeError("%s: session did not answer" % tool.name)
        for label, path in files:
            mark = "done%06dx" % random.randrange(10 ** 6)
            cpu0 = proc_cpu(server) if server else 0
            ccpu0 = proc_cpu(client.proc.pid)
            start = time.monotonic()
            with open(fifo, "w") as f:
                f.write("cat %s %s\n" % (path, mark))
            ok = client.wait_for(mark, 600)
            took = time.monotonic() - start
            cpu = (proc_cpu(server) - cpu0) if server else 0
            ccpu = proc_cpu(client.proc.pid) - ccpu0
            time.sleep(0.5)
            rss = proc_rss_kb(server) if server else 0
            results[label] = {"ok": ok, "mbps": size / 1e6 / took if ok else 0.0,
                              "cpu_per_mb": cpu / (size / 1e6),
                              "client_cpu_per_mb": ccpu / (size / 1e6), "rss_mb": rss / 1024}
        if keys:
            token = "keys%06dx" % random.randrange(10 ** 6)
            with open(fifo, "w") as f:
                f.write("keys %s x\n" % token)
            if client.wait_for(token, 20):
                results["keys"] = client.keystrokes(keys)
    finally:
        for other in others:
            other.close()
        client.close()
        tool.stop()
    return results


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--kiv", default=os.environ.get("KIV", "build/kiv"))
    ap.add_argument("--size-mb", type=float, default=50)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--tools", default="raw,kiv,kivtcp,dtach,tmux",
                    help="any of raw, kiv, kivtcp (kiv over TCP), dtach, tmux")
    ap.add_argument("--baseline", help="another kiv binary, measured beside the first")
    ap.add_argument("--clients", type=int, default=1, help="clients attached to kiv's sessions")
    ap.add_argument("--keys", type=int, default=200, help="keystroke round trips per round")
    args = ap.parse_args()
    kiv = os.path.abspath(args.kiv)
    if shutil.which("tmux") is None:
        subprocess.run(["apt-get", "install", "-y", "-qq", "tmux"], check=False)
    wanted = args.tools.split(",")
    tools = [t for key, t in (("raw", Raw), ("kiv", Kiv), ("kivtcp", KivTcp), ("dtach", Dtach),
                              ("tmux", Tmux)) if key in wanted]
    if args.baseline:
        KivBaseline.binary = os.path.abspath(args.baseline)
        tools.insert(tools.index(Kiv) + 1 if Kiv in tools else 0, KivBaseline)
    for tool, program in ((Tmux, "tmux"), (Dtach, "dtach")):
        if tool in tools and shutil.which(program) is None:
            tools.remove(tool)

    work = tempfile.mkdtemp(prefix="kivbench.", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    env = dict(os.environ, TERM="xterm-256color", SHELL="/bin/sh")
    size = int(args.size_mb * 1e6)
    try:
        files = [("plain", os.path.join(work, "plain.txt")), ("colour", os.path.join(work, "colour.txt"))]
        make_plain(files[0][1], size)
        make_colour(files[1][1], size)
        runs = {t.name: {label: [] for label, _ in files} for t in tools}
        keys = {t.name: [] for t in tools}
        for r in range(args.rounds):
            order = tools[r % len(tools):] + tools[:r % len(tools)]
            for tool in order:
                results = measure(tool, work, env, kiv, files, size, args.clients, args.keys)
                keys[tool.name] += results.pop("keys", [])
                for label, res in results.items():
                    runs[tool.name][label].append(res)
                    print("round %d %-8s %-6s %s" % (r + 1, tool.name, label,
                          "%.1f MB/s" % res["mbps"] if res["ok"] else "FAILED"),
                          file=sys.stderr)
        report(runs, [label for label, _ in files])
        report_keys(keys)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(runs, labels):
    med = lambda rs, key: statistics.median(r[key] for r in rs)
    base = runs.get("bare pty")
    print("| workload | tool | MB/s | x bare pty | server CPU s/MB | client CPU s/MB "
          "| server RSS MB (full scrollback) |")
    print("|---|---|---|---|---|---|---|")
    for label in labels:
        raw = med(base[label], "mbps") if base else 0
        for tool, per in runs.items():
            rs = per[label]
            failed = sum(not r["ok"] for r in rs)
            mbps = med(rs, "mbps")
            cpu = "-" if tool == "bare pty" else "%.4f" % med(rs, "cpu_per_mb")
            rss = "-" if tool == "bare pty" else "%.1f" % med(rs, "rss_mb")
            ccpu = "-" if tool == "bare pty" else "%.4f" % med(rs, "client_cpu_per_mb")
            note = " (%d failed)" % failed if failed else ""
            print("| %s | %s | %.1f%s | %.2f | %s | %s | %s |" % (
                label, tool, mbps, note, mbps / raw if raw else 0, cpu, ccpu, rss))



def report_keys(keys):
    base = keys.get("bare pty")
    raw = statistics.median(base) if base else 0
    print()
    print("| keystroke round trip | median us | p90 us | x bare pty |")
    print("|---|---|---|---|")
    for tool, samples in keys.items():
        if not samples:
            continue
        samples = sorted(samples)
        median = statistics.median(samples)
        print("| %s | %.0f | %.0f | %.2f |" % (tool, median, samples[int(len(samples) * 0.9)],
                                             median / raw if raw else 0))


if __name__ == "__main__":
    main()
