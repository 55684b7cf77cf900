#!/usr/bin/env python3
"""Attaching to a session that holds 10,000 lines of colour history, side by
side for kiv, tmux and GNU screen (when installed).

    bench/reattach.py [--kiv build/kiv] [--rounds 10] [--lines 10000]
                      [--tools kiv,tmux,screen] [--quiet-ms 150]

Each tool runs one session whose program prints LINES + 23 SGR-coloured lines
(so that LINES of them have left an 80x24 screen) and then waits. Every round,
for every tool in turn, a fresh window (a pty the benchmark owns, with /bin/sh
as its session leader) types the attach command, detaches, and types it again
from the same shell: kiv knows that window by its device and session leader
and sends it only what it does not hold yet, while tmux and screen repaint
their screen each time. Reported per attach: the time from the command line
written to the shell to the last byte the window received (the output then
stays quiet for --quiet-ms), and the bytes received; for the first attach
also those bytes over the bytes the program wrote. Medians [min-max].
Standard library only.
"""
import argparse
import os
import random
import select
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import session_throughput as st  # noqa: E402

END = "kivbench-end-of-output"
PROMPT = "kivbench-prompt> "


def make_history(path, lines):
    """Lines of 20-79 visible columns, every word in its own look: the 16
    colours, the 256-colour palette and 24-bit colour, with bold, underline
    and reverse here and there. Returns the bytes written."""
    rnd = random.Random(3)
    with open(path, "w") as f:
        for n in range(lines):
            width = rnd.randint(20, 79)
            out, cols = ["%05d " % n], 6
            while cols < width:
                word = "".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(2, 8)))
                word = (word + " ")[: width - cols]
                kind = rnd.random()
                if kind < 0.4:
                    sgr = "%d" % rnd.randint(31, 37)
                elif kind < 0.8:
                    sgr = "38;5;%d" % rnd.randint(16, 255)
                else:
                    sgr = "38;2;%d;%d;%d" % (rnd.randrange(256), rnd.randrange(256), rnd.randrange(256))
                sgr += "".join(a for a, p in ((";1", 0.2), (";4", 0.1), (";7", 0.05)) if rnd.random() < p)
                out.append("\x1b[%sm%s\x1b[0m" % (sgr, word))
                cols += len(word)
            f.write("".join(out) + "\n")
        f.write(END + "\n")
    return os.path.getsize(path)


def program_script(work, history):
    """The session's program: the history, then it waits (its pid kept, so
    that nothing outlives the run)."""
    path = os.path.join(work, "program.sh")
    with open(path, "w") as f:
        f.write("#!/bin/sh\necho $$ > %s\ncat %s\nexec sleep 100000\n"
                % (shlex.quote(os.path.join(work, "pid")), shlex.quote(history)))
    os.chmod(path, 0o755)
    return path


class Window(st.PtyClient):
    """A user's terminal window: /bin/sh on a pty of the benchmark's, as the
    leader of its own session, echo off so that only programs' output
    comes back."""

    def __init__(self, env):
        super().__init__(["/bin/sh", "-i"], dict(env, PS1=PROMPT))
        attrs = termios.tcgetattr(self.master)
        attrs[3] &= ~termios.ECHO
        termios.tcsetattr(self.master, termios.TCSANOW, attrs)
        self.prompt()

    def prompt(self):
        if not self.wait_for(PROMPT, 30):
            raise RuntimeError("the window's shell gave no prompt")

    def run_until_quiet(self, line, quiet):
        """Types `line`; returns (seconds to the last byte, bytes) once the
        output has been quiet for `quiet` seconds and has shown the end of
        the program's output."""
        received, tail, seen = 0, b"", False
        start = time.monotonic()
        last = start
        os.write(self.master, line.encode() + b"\n")
        while True:
            now = time.monotonic()
            if now - start > 120:
                raise RuntimeError("output did not settle: %r" % line)
            r, _, _ = select.select([self.master], [], [], max(0.0, last + quiet - now))
            if not r:
                if time.monotonic() - last >= quiet and seen:
                    return last - start, received
                continue
            data = os.read(self.master, 65536)
            if not data:
                raise RuntimeError("the window closed: %r" % line)
            received += len(data)
            last = time.monotonic()
            seen = seen or END.encode() in tail + data
            tail = data[-len(END):]

    def close(self):
        # The attach client runs in the shell's foreground group: hang it up too.
        if self.master >= 0:
            try:
                group = os.tcgetpgrp(self.master)
                if group not in (-1, self.proc.pid):
                    os.killpg(group, signal.SIGHUP)
            except OSError:
                pass
        super().close()


class Tool:
    """What every peer shares: the program's pid for the cleanup, and the
    wait until its screen shows the end of the history."""

    def stop_program(self):
        try:
            os.kill(int(open(os.path.join(self.work, "pid")).read()), signal.SIGKILL)
        except (OSError, ValueError):
            pass

    def wait_ready(self):
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            if END in self.capture():
                return
            time.sleep(0.1)
        raise RuntimeError("%s: the history never reached the screen" % self.name)


class Kiv(Tool, st.Kiv):
    detach = b"\x07"

    def __init__(self, work, env, kiv):
        st.Kiv.__init__(self, work, env, kiv)
        self.env["XDG_STATE_HOME"] = os.path.join(work, "state")
        for name in ("KIV_HISTORY", "KIV_DETACH_KEY", "KIV_SIZE"):
            self.env.pop(name, None)

    def capture(self):
        return subprocess.run([self.kiv, "capture", "bench"], env=self.env,
                              capture_output=True, text=True).stdout

    def command(self):
        return "%s attach bench" % shlex.quote(self.kiv)

    def stop(self):
        subprocess.run([self.kiv, "kill", "bench"], env=self.env, capture_output=True)
        self.daemon.terminate()
        try:
            self.daemon.wait(5)
        except subprocess.TimeoutExpired:
            self.daemon.kill()
            self.daemon.wait()
        self.stop_program()


class Tmux(Tool, st.Tmux):
    detach = b"\x02d"

    def capture(self):
        return self.tmux("capture-pane", "-p", "-t", "bench")

    def command(self):
        return "tmux -S %s -f %s attach -t bench" % (shlex.quote(self.sock), shlex.quote(self.conf))

    def stop(self):
        st.Tmux.stop(self)
        self.stop_program()


class Screen(Tool):
    name = "screen"
    detach = b"\x01d"

    def __init__(self, work, env, kiv):
        self.work = work
        self.conf = os.path.join(work, "screenrc")
        with open(self.conf, "w") as f:
            f.write("defscrollback 10000\nstartup_message off\nhardstatus ignore\n")
        screendir = os.path.join(work, "screendir")
        os.mkdir(screendir, 0o700)
        self.env = dict(env, SCREENDIR=screendir)
        self.env.pop("STY", None)

    def screen(self, *args):
        return subprocess.run(["screen", "-c", self.conf] + list(args), env=self.env,
                              capture_output=True, text=True)

    def start(self, script):
        self.screen("-dmS", "bench", script)

    def capture(self):
        copy = os.path.join(self.work, "hardcopy")
        self.screen("-S", "bench", "-X", "hardcopy", copy)
        try:
            return open(copy, errors="replace").read()
        except OSError:
            return ""

    def command(self):
        return "screen -c %s -r bench" % shlex.quote(self.conf)

    def stop(self):
        self.screen("-S", "bench", "-X", "quit")
        self.stop_program()


def one_round(tool, quiet):
    """A fresh window attaches, detaches, attaches again from the same shell."""
    window = Window(tool.env)
    try:
        first = window.run_until_quiet(tool.command(), quiet)
        os.write(window.master, tool.detach)
        window.prompt()
        again = window.run_until_quiet(tool.command(), quiet)
        os.write(window.master, tool.detach)
        window.prompt()
        return first, again
    finally:
        window.close()


def spread(values, fmt):
    return ("%s [%s-%s]" % (fmt, fmt, fmt)) % (statistics.median(values), min(values), max(values))


def report(runs, program_bytes, lines):
    print("| tool | first attach ms | first attach KB | first attach / program bytes "
          "| re-attach ms | re-attach KB | re-attach ms / tmux |")
    print("|---|---|---|---|---|---|---|")
    tmux = runs.get("tmux")
    for name, rounds in runs.items():
        first = [r[0] for r in rounds]
        again = [r[1] for r in rounds]
        ratio = "%.2f" % (statistics.median(t for t, _ in again)
                          / statistics.median(r[1][0] for r in tmux)) if tmux else "-"
        print("| %s | %s | %s | %s | %s | %s | %s |" % (
            name, spread([t * 1e3 for t, _ in first], "%.1f"), spread([b / 1e3 for _, b in first], "%.1f"),
            spread([b / program_bytes for _, b in first], "%.2f"),
            spread([t * 1e3 for t, _ in again], "%.1f"), spread([b / 1e3 for _, b in again], "%.1f"),
            ratio))
    print()
    print("The program wrote %d bytes (%d history lines, then a screenful)." % (program_bytes, lines))


def loadavg():
    return "%.2f %.2f %.2f" % os.getloadavg()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--kiv", default=os.environ.get("KIV", "build/kiv"))
    ap.add_argument("--rounds", type=int, default=10)
    ap.add_argument("--lines", type=int, default=10000, help="history lines beyond the screen")
    ap.add_argument("--tools", default="kiv,tmux,screen", help="any of kiv, tmux, screen")
    ap.add_argument("--quiet-ms", type=float, default=150,
                    help="silence that ends an attach's output (not counted in its time)")
    args = ap.parse_args()
    kiv = os.path.abspath(args.kiv)
    wanted = args.tools.split(",")
    if "kiv" in wanted and not os.access(kiv, os.X_OK):
        sys.exit("reattach.py: no kiv at %s (build it, or give --kiv)" % kiv)
    tools = []
    for key, cls, program in (("kiv", Kiv, kiv), ("tmux", Tmux, "tmux"), ("screen", Screen, "screen")):
        if key in wanted and shutil.which(program):
            tools.append(cls)
        elif key in wanted:
            print("reattach.py: %s is not installed, left out" % program, file=sys.stderr)
    if not tools:
        sys.exit("reattach.py: nothing to measure in --tools %s" % args.tools)
    print("load average at start: %s" % loadavg(), flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("reattach.py: terminated"))

    work = tempfile.mkdtemp(prefix="kivreattach.", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    env = dict(os.environ, TERM="xterm-256color", SHELL="/bin/sh")
    for name in ("TMUX", "STY", "KIV_SESSION", "ENV"):
        env.pop(name, None)
    started = []
    try:
        history = os.path.join(work, "history.txt")
        program_bytes = make_history(history, args.lines + st.ROWS - 2)
        for cls in tools:
            tool_work = tempfile.mkdtemp(dir=work, prefix=cls.name + ".")
            tool = cls(tool_work, env, kiv)
            started.append(tool)
            tool.start(program_script(tool_work, history))
            tool.wait_ready()
        runs = {tool.name: [] for tool in started}
        for r in range(args.rounds):
            shift = r % len(started)
            for tool in started[shift:] + started[:shift]:
                first, again = one_round(tool, args.quiet_ms / 1e3)
                runs[tool.name].append((first, again))
                print("round %d %-6s first %.1f ms %d B, again %.1f ms %d B" % (
                      r + 1, tool.name, first[0] * 1e3, first[1], again[0] * 1e3, again[1]),
                      file=sys.stderr)
        report(runs, program_bytes, args.lines)
    finally:
        for tool in started:
            try:
                tool.stop()
            except Exception as e:  # the others must still be stopped
                print("stopping %s: %s" % (tool.name, e), file=sys.stderr)
        shutil.rmtree(work, ignore_errors=True)
        print("load average at end: %s" % loadavg())


if __name__ == "__main__":
    main()
