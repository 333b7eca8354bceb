"""nginx serving a folder over https on a loopback port, as the current user.

Configuration, pid file, logs and temporary folders all lie in one working folder; the server runs in
the foreground as this script's child and is stopped by its own pid. Its access log tells which paths
were asked for, with the status and the connection that carried each request.
"""
import os
import posixpath
import pwd
import signal
import subprocess
import time
from dataclasses import dataclass

import loopback_process
import winetools

NGINX = "/usr/sbin/nginx"

CONFIG = """\
{user}daemon off;
worker_processes 1;
pid nginx.pid;
error_log error.log warn;
events {{ worker_connections 64; }}
http {{
    log_format served '$connection $status $body_bytes_sent $request_uri';
    access_log access.log served;
    client_body_temp_path temp/body;
    proxy_temp_path temp/proxy;
    fastcgi_temp_path temp/fastcgi;
    uwsgi_temp_path temp/uwsgi;
    scgi_temp_path temp/scgi;
    types {{ application/json json; }}
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    server {{
        listen 127.0.0.1:{port} ssl;
        ssl_certificate {certfile};
        ssl_certificate_key {keyfile};
        root {root};
    }}
}}
"""


def worker_user():
    """Started by root, nginx hands its requests to workers of another user, who may not enter a private
    build folder (mktemp's are 0700); they stay this user's."""
    if os.geteuid() != 0:
        return ""
    return "user %s;\n" % pwd.getpwuid(os.geteuid()).pw_name


@dataclass
class Served:
    """One line of the access log."""
    connection: int
    status: int
    size: int
    path: str


class NginxServer:
    """Serves root at https://127.0.0.1:port/ until stop(); a path maps to the file of that name below root."""

    def __init__(self, port, root, certfile, keyfile, workdir):
        self.port = port
        self.root = os.path.abspath(root)
        self.workdir = os.path.abspath(workdir)
        os.makedirs(os.path.join(self.workdir, "temp"), exist_ok=True)
        os.makedirs(self.root, exist_ok=True)
        self.config = os.path.join(self.workdir, "nginx.conf")
        with open(self.config, "w") as f:
            f.write(CONFIG.format(user=worker_user(), port=port, certfile=os.path.abspath(certfile),
                                  keyfile=os.path.abspath(keyfile), root=self.root))
        self._stop_left_over()
        open(os.path.join(self.workdir, "error.log"), "w").close()
        self.clear_log()
        self.process = subprocess.Popen([NGINX, "-p", self.workdir + "/", "-c", self.config, "-e", "error.log"],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        loopback_process.wait_listening(self.process, port, "nginx", self._error_log)

    def url(self, path):
        return f"https://127.0.0.1:{self.port}{path}"

    def file(self, path):
        """The file below root that answers the given path."""
        return os.path.join(self.root, *path.strip("/").split("/"))

    def served(self):
        """Every request answered since the log was last cleared, in order."""
        path = os.path.join(self.workdir, "access.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            rows = [line.rstrip("\n").split(" ", 3) for line in f if line.strip()]
        return [Served(int(c), int(s), int(n), p) for c, s, n, p in rows]

    def requested(self):
        return [row.path for row in self.served()]

    def clear_log(self):
        # nginx keeps the log open and appends, so the file is cut rather than replaced.
        open(os.path.join(self.workdir, "access.log"), "a").close()
        os.truncate(os.path.join(self.workdir, "access.log"), 0)

    def stop(self):
        loopback_process.stop(self.process)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def _error_log(self):
        path = os.path.join(self.workdir, "error.log")
        return open(path, encoding="utf-8", errors="replace").read() if os.path.exists(path) else ""

    def _stop_left_over(self):
        """An nginx of this same configuration left by a run that was killed still holds the port."""
        try:
            pid = int(open(os.path.join(self.workdir, "nginx.pid")).read())
            command_line = open(f"/proc/{pid}/cmdline", "rb").read()
        except (OSError, ValueError):
            return
        if self.config.encode() in command_line:
            os.kill(pid, signal.SIGTERM)
            deadline = time.monotonic() + 10
            while os.path.exists(f"/proc/{pid}") and time.monotonic() < deadline:
                time.sleep(0.05)


def publish_with_pack(publish_exe, server, release_folder, version, manifest_path, private_key=None):
    """Packs release_folder with OVANPublish straight into the folder that server serves manifest_path
    from, as pack's output folder is meant to be copied to a server; signed when a key file is given.
    Returns pack's completed process."""
    folder = posixpath.dirname(manifest_path)
    command = [publish_exe, "pack", winetools.win_path(release_folder), version, server.url(folder),
               winetools.win_path(server.file(folder))]
    if private_key:
        command += ["--sign", winetools.win_path(private_key)]
    return winetools.run_windows(command)
