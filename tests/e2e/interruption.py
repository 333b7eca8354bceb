"""Real interruptions of a launcher run under Wine, and what the run asked of the system.

Wine carries out a move (MoveFileExW) in the wineserver with one rename(2). A wineserver started under
strace with a delay injected into its n-th rename holds that move back for a few seconds: the launcher
waits for its answer, so it can be killed while the move has not been made, and then the wineserver
before the delay runs out, so the move is never made. The same works for the launcher's own system calls
(its writes), and for a system call of the wineserver on chosen paths only (a deletion in the clean-up).

The tests share one Wine prefix whose persistent wineserver and idle desktop helper wine_prefix.py
started: a traced server stops them first and leaves the prefix down when it ends, so that cuts can
follow one another without starting the prefix in between; start_prefix_if_down() brings it back as
the other tests find it.
"""
import os
import re
import shutil
import signal
import subprocess
import time
from dataclasses import dataclass
from typing import Optional, Tuple

import wine_prefix
import winetools

QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
# Long enough to kill two processes after the call was seen, short against the test's run time.
DELAY_MICROSECONDS = 4000000

# "PID TIME name(arguments" then ") = result", possibly split into "<unfinished ...>" and "<... name resumed>".
_CALL = re.compile(r"^(\d+) +(\d+\.\d+) (\w+)\((.*)$")
_RESUMED = re.compile(r"^(\d+) +(\d+\.\d+) <\.\.\. (\w+) resumed>(.*)$")
_RESULT = re.compile(r"\) += (-?\d+|\?)")
_STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')
_FD_PATH = re.compile(r"^(-?\d+)<([^>]*)>")


@dataclass
class Call:
    """One system call from an strace log: when it began and ended (None while it is pending)."""
    pid: int
    name: str
    begin: float
    text: str = ""
    end: Optional[float] = None
    result: Optional[str] = None

    def strings(self):
        return [bytes(s, "utf-8").decode("unicode_escape") for s in _STRING.findall(self.text)]

    def fd_path(self):
        """The path of the call's first argument when it is a descriptor shown by strace -y."""
        match = _FD_PATH.match(self.text)
        return match.group(2) if match else None


def can_trace():
    """Whether this machine lets strace hold back a system call (a container may forbid ptrace)."""
    try:
        probe = subprocess.run(["strace", "-f", "-e", "inject=getpid:delay_enter=1", "true"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return probe.returncode == 0


def read_calls(path):
    """Every call of an strace -f -ttt log in the order they began; the last may still be pending."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    calls, open_calls = [], {}
    for line in lines:
        resumed = _RESUMED.match(line)
        if resumed:
            call = open_calls.pop((int(resumed.group(1)), resumed.group(3)), None)
            if call:
                _finish(call, resumed.group(4), float(resumed.group(2)))
            continue
        match = _CALL.match(line)
        if not match:
            continue
        call = Call(int(match.group(1)), match.group(3), float(match.group(2)))
        rest = match.group(4)
        if rest.endswith("<unfinished ...>"):
            call.text = rest[:-len("<unfinished ...>")]
            open_calls[(call.pid, call.name)] = call
        else:
            _finish(call, rest, call.begin)
        calls.append(call)
    return calls


def _finish(call, rest, end):
    result = _RESULT.search(rest)
    if result:
        call.text += rest[:result.start()]
        call.end, call.result = end, result.group(1)
    else:
        # A line cut short: strace writes the start of a delayed call before it waits.
        call.text += rest


# --- the prefix's processes ---------------------------------------------------------------------

def prefix_processes():
    """PIDs of Wine's processes (the wineserver included) that run in the tests' prefix."""
    marker = b"WINEPREFIX=" + os.environ["WINEPREFIX"].encode() + b"\0"
    # Wine's own programs, and those of a loader folder elsewhere (the emulated 32-bit route's).
    wine_folders = tuple(os.path.dirname(os.path.realpath(shutil.which(command) or command)) + "/"
                         for command in (winetools.wineserver(), winetools.wine()))
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if marker in f.read() and os.readlink("/proc/%s/exe" % entry).startswith(wine_folders):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def _ended(pid):
    """The process is gone or a zombie, waiting only for its parent to collect it."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def _wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def stop_prefix():
    """Ends the persistent wineserver and every process of the prefix."""
    subprocess.run([winetools.wineserver(), "-k"], **QUIET)
    _wait_until(lambda: not prefix_processes(), 30, "the prefix's processes to end")


def start_prefix():
    """The persistent wineserver and the idle desktop helper, as wine_prefix.py leaves them."""
    wine_prefix.start(winetools.wine(), os.environ["OVAN_TEST_BIN"], os.environ["OVAN_TEST_STATE"])


def start_prefix_if_down():
    if not prefix_processes():
        start_prefix()


def _start_traced(log, options, command, cwd=None):
    """command under strace -f, and the PID it runs as. strace forks probes of its own at start, so the
    program is found by the PID that a shell writes down before it becomes the program."""
    pid_file = log + ".pid"
    for stale in (log, pid_file):
        if os.path.exists(stale):
            os.remove(stale)
    strace = subprocess.Popen(["strace", "-f", "--seccomp-bpf", "-ttt", "-y", "-o", log] + options +
                              ["sh", "-c", 'echo $$ > "$0" && exec "$@"', pid_file] + command,
                              cwd=cwd, start_new_session=True, **QUIET)

    def written():
        if not os.path.exists(pid_file):
            return None
        with open(pid_file) as f:
            text = f.read()
        return int(text) if text.endswith("\n") else None
    _wait_until(lambda: written() or strace.poll() is not None, 30, "strace to start its program")
    if not written():
        raise AssertionError("strace could not start " + command[0])
    return strace, written()


class TracedServer:
    """A wineserver for the prefix in the foreground under strace, in place of the persistent one."""

    def __init__(self, log, options):
        self.log = log
        stop_prefix()
        self.strace, self.pid = _start_traced(log, options, [winetools.wineserver(), "-f", "-p"])
        try:
            _wait_until(self._listening, 30, "the traced wineserver")
            wine_prefix.warm_up(winetools.wine(), os.environ["OVAN_TEST_BIN"])
        except BaseException:
            self.kill()
            raise

    def _listening(self):
        try:
            return os.path.exists(os.path.join(os.readlink("/proc/%d/cwd" % self.pid), "socket"))
        except OSError:
            return False

    def kill(self):
        """As a power cut would: the wineserver, then what it leaves running (services, desktop), which
        would wait forever on their lost server."""
        if self.strace.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
            # A held-back call keeps the wineserver stopped until strace lets it go, which it does at once
            # when it ends; a kill already pending then ends the wineserver before the call is made.
            self.strace.kill()
        self.strace.wait(30)
        _wait_until(lambda: _ended(self.pid), 30, "the traced wineserver to end")
        for pid in prefix_processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        _wait_until(lambda: not prefix_processes(), 30, "the prefix's processes to end")

    def stop(self):
        subprocess.run([winetools.wineserver(), "-k"], **QUIET)
        self.strace.wait(30)
        _wait_until(lambda: not prefix_processes(), 30, "the prefix's processes to end")


# --- where a run is cut off ---------------------------------------------------------------------

@dataclass(frozen=True)
class Cut:
    """The n-th of the named system calls, made by the wineserver or by the launcher itself, and
    counted among those on the given paths only when paths are given."""
    where: str                      # "server" or "launcher"
    syscalls: Tuple[str, ...]
    nth: int = 1
    paths: Tuple[str, ...] = ()

    def strace_options(self):
        names = ",".join(self.syscalls)
        options = ["-e", "trace=" + names,
                   "-e", "inject=%s:delay_enter=%d:when=%d" % (names, DELAY_MICROSECONDS, self.nth)]
        for path in self.paths:
            options += ["-P", path]
        return options


def move_from(path):
    """The wineserver's first move of this file. Told by its path, not by its place among the moves: the
    wineserver also saves the registry by renames, every 30 s while it has changes, which a slow run meets."""
    return Cut("server", ("rename",), 1, (path,))


def deletion_of(path):
    """The wineserver's deletion of this file."""
    return Cut("server", ("unlink", "unlinkat"), 1, (path,))


def first_write_to(*paths):
    """The launcher's first write to one of these files."""
    return Cut("launcher", ("write", "pwrite64"), 1, paths)


def _pending(log, cut):
    """The cut's call once it has begun and not ended."""
    matching = [call for call in read_calls(log) if call.name in cut.syscalls]
    if len(matching) >= cut.nth and matching[cut.nth - 1].end is None:
        return matching[cut.nth - 1]
    return None


def _wait_for_cut(log, cut, started):
    deadline = time.monotonic() + 90
    while started.poll() is None:
        pending = _pending(log, cut)
        if pending:
            return pending
        if time.monotonic() > deadline:
            raise AssertionError("the program neither ended nor reached the cut in time")
        time.sleep(0.02)
    return None


def cut_off(args, cwd, cut, log):
    """Runs a Windows program and kills it (and, for a cut in the wineserver, that wineserver, leaving
    the prefix down) while the cut's call is held back. Returns that call, or None when the program
    ended before it."""
    command = [winetools.wine()] + list(args)
    if cut.where == "server":
        server = TracedServer(log, cut.strace_options())
    else:
        server = None
        start_prefix_if_down()
    try:
        if server:
            started = subprocess.Popen(command, cwd=cwd, start_new_session=True, **QUIET)
            program = started.pid
        else:
            started, program = _start_traced(log, cut.strace_options(), command, cwd)
        try:
            pending = _wait_for_cut(log, cut, started)
        finally:
            if started.poll() is None:
                os.kill(program, signal.SIGKILL)
                # For a launcher under strace, started is strace: see TracedServer.kill.
                started.kill()
            started.wait(30)
            _wait_until(lambda: _ended(program), 30, "the launcher to end")
        return pending
    finally:
        if server:
            server.kill()


# --- an ordinary run, traced --------------------------------------------------------------------

class TracedRun:
    """A Windows program run to its end with the wineserver and the program each under strace:
    every call of the given names, from both, ordered by the time each began. The prefix is left down."""

    def __init__(self, args, cwd, syscalls, work):
        server_log, program_log = os.path.join(work, "server.strace"), os.path.join(work, "program.strace")
        names = "trace=" + ",".join(syscalls)
        if os.path.exists(program_log):
            os.remove(program_log)
        server = TracedServer(server_log, ["-e", names])
        try:
            completed = subprocess.run(["strace", "-f", "--seccomp-bpf", "-ttt", "-y", "-o", program_log,
                                        "-e", names, winetools.wine()] + list(args), cwd=cwd,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       timeout=120)
            self.returncode = completed.returncode
        finally:
            server.stop()
        self.server_calls = read_calls(server_log)
        self.program_calls = read_calls(program_log)
        self.calls = sorted(self.server_calls + self.program_calls, key=lambda call: call.begin)


def under(folder, path):
    """path relative to folder (a Linux path, also through Wine's Z: drive), with forward slashes;
    None when it lies elsewhere."""
    path = path.replace(os.path.join(os.path.realpath(os.environ["WINEPREFIX"]), "dosdevices", "z:"), "", 1)
    folder = os.path.realpath(folder)
    if path == folder or not path.startswith(folder + "/"):
        return None
    return path[len(folder) + 1:]


def move_of(call, folder):
    """(from, to) of a rename, begun or done, with names relative to folder (None for another place)."""
    source, target = call.strings()[:2]
    return under(folder, source), under(folder, target)


def moves_in(calls, folder):
    """(from, to, time begun) of every rename made that starts or ends within folder."""
    moves = []
    for call in calls:
        if call.name == "rename" and call.result == "0" and move_of(call, folder) != (None, None):
            moves.append(move_of(call, folder) + (call.begin,))
    return moves


def copy_folder(source, target):
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(source, target, symlinks=True)
