"""tinyproxy on a loopback port, as the current user, for the proxy tests.

Configuration, pid file and log lie in one working folder; the proxy runs in the foreground as this
script's child and is stopped by its own pid. Its log tells which requests went through it.
"""
import os
import re
import subprocess

import loopback_process

TINYPROXY = "/usr/bin/tinyproxy"

CONFIG = """\
Port {port}
Listen 127.0.0.1
Timeout 30
MaxClients 20
LogFile "{workdir}/tinyproxy.log"
LogLevel Connect
PidFile "{workdir}/tinyproxy.pid"
{auth}"""

REQUEST = re.compile(r"Request \(file descriptor \d+\): (\S+) (\S+) HTTP/")


class TinyProxy:
    """A forwarding proxy at 127.0.0.1:port until stop(); with basic_auth=(user, password) it answers 407
    to every request without those credentials. Proxied plain http requests reach the server with a Via
    header; https goes through CONNECT."""

    def __init__(self, port, workdir, basic_auth=None):
        self.port = port
        self.workdir = os.path.abspath(workdir)
        os.makedirs(self.workdir, exist_ok=True)
        self.log = os.path.join(self.workdir, "tinyproxy.log")
        open(self.log, "w").close()
        config = os.path.join(self.workdir, "tinyproxy.conf")
        auth = "BasicAuth %s %s\n" % basic_auth if basic_auth else ""
        with open(config, "w") as f:
            f.write(CONFIG.format(port=port, workdir=self.workdir, auth=auth))
        self.process = subprocess.Popen([TINYPROXY, "-d", "-c", config], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        loopback_process.wait_listening(self.process, port, "tinyproxy", self._log_text)

    def requests(self):
        """(method, target) of every request the proxy was asked to forward, in order."""
        return [match.groups() for match in REQUEST.finditer(self._log_text())]

    def clear_log(self):
        # tinyproxy keeps the log open and appends, so the file is cut rather than replaced.
        os.truncate(self.log, 0)

    def stop(self):
        loopback_process.stop(self.process)

    def _log_text(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()
