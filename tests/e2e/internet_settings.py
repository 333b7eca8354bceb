"""The user's Windows internet settings in the tests' Wine prefix, written where Windows itself keeps them:
the binary value DefaultConnectionSettings under HKCU\\...\\Internet Settings\\Connections.

The value is: a DWORD 0x46 (the format's version), a DWORD change counter, a DWORD of flags (1 direct,
2 static proxy, 4 configuration script, 8 auto-detect), then three ASCII strings each after its DWORD
length (the proxy list, the bypass list, the script address), then zeros. Every change is undone
afterwards, so other test programs sharing the prefix find the settings as they were.
"""
import struct

import winetools

KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
VALUE = "DefaultConnectionSettings"

DIRECT = 1
STATIC_PROXY = 2
SCRIPT = 4
AUTO_DETECT = 8


def connection_settings(flags, proxy="", bypass="", script="", counter=1):
    blob = struct.pack("<III", 0x46, counter, flags)
    for text in (proxy, bypass, script):
        data = text.encode("ascii")
        blob += struct.pack("<I", len(data)) + data
    return blob + bytes(32)


def _reg(*args):
    result = winetools.run_windows(["reg"] + list(args))
    return result.returncode, result.stdout.decode("utf-8", "replace")


class UserInternetSettings:
    """Sets the value for a test; restore() puts back what was there before (or nothing)."""

    def __init__(self):
        code, out = _reg("query", KEY, "/v", VALUE)
        self.before = None
        if code == 0:
            for line in out.splitlines():
                fields = line.split()
                if fields[:2] == [VALUE, "REG_BINARY"]:
                    self.before = bytes.fromhex(fields[2] if len(fields) > 2 else "")

    def set(self, flags, proxy="", bypass="", script=""):
        self._write(connection_settings(flags, proxy, bypass, script))

    def restore(self):
        if self.before is None:
            _reg("delete", KEY, "/v", VALUE, "/f")
        else:
            self._write(self.before)

    def _write(self, blob):
        code, out = _reg("add", KEY, "/v", VALUE, "/t", "REG_BINARY", "/d", blob.hex(), "/f")
        if code != 0:
            raise RuntimeError("could not write the internet settings: " + out)
