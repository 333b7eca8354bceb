"""A server the tests start as their own child on a loopback port: waiting until it listens, and stopping it
by its own pid."""
import socket
import subprocess
import time


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def wait_listening(process, port, name, error_text):
    """Returns once 127.0.0.1:port accepts connections; raises with error_text() when the server ended or never
    listened within 10 s (and then stops it)."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{name} did not start: " + error_text())
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    stop(process)
    raise RuntimeError(f"{name} is not listening on port {port}: " + error_text())
