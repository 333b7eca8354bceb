"""Running Windows programs under the tests' private Wine prefix."""
import os
import shutil
import subprocess


def wine():
    return os.environ.get("OVAN_WINE", "wine")


def wineserver():
    return shutil.which("wineserver") or "/usr/lib/wine/wineserver"


def win_path(path):
    """The Windows form of a Linux path, through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_windows(args, cwd=None, timeout=120):
    """Runs a Windows program to its end; returns the completed process with raw output bytes."""
    return subprocess.run([wine()] + list(args), cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout)


def start_windows(args, cwd=None):
    """Starts a Windows program in the background."""
    return subprocess.Popen([wine()] + list(args), cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)


def high_water_mark(pid):
    """The process's peak resident memory so far (VmHWM), in bytes; 0 once it is gone. Under the emulated
    32-bit route the process is qemu's, and its peak counts qemu's own share too."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0
