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


def emulated():
    """The 32-bit programs run under qemu, through the loader folder of tools/wine-route.sh."""
    return os.path.exists(os.path.join(os.path.dirname(wine()), "wine.i386"))


def run_windows(args, cwd=None, timeout=120, exit_code_from_wine=False):
    """Runs a Windows program to its end; returns the completed process with raw output bytes.

    exit_code_from_wine: under qemu, the wineserver may kill (SIGKILL) a process whose last thread has ended but
    whose exit takes longer than Wine allows, and its exit code is then lost to a direct child; started by
    Wine's own start /wait, a 64-bit program running natively, the code comes from Wine itself. The output
    handles are inherited as they are. start cannot take a program or a folder past MAX_PATH: those run directly."""
    command = [wine()] + list(args)
    short = all(len(win_path(path)) < 200 for path in (args[0], cwd or "."))
    if exit_code_from_wine and emulated() and short:
        command = [os.path.join(os.path.dirname(wine()), "wine64"), "start", "/wait", "/b", "/unix"] + list(args)
    return subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
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
