"""Makes the tests' Wine prefix (test CA trusted, desktop kept alive) and stops it again.

    wine_prefix.py template --wine WINE --bin TEST_BIN --state STATE_DIR
    wine_prefix.py setup --wine WINE --bin TEST_BIN --state STATE_DIR --template PREFIX --template-state STATE_DIR
    wine_prefix.py cleanup --wine WINE --bin TEST_BIN --state STATE_DIR
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

import winetools


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_certificates(state):
    """A test CA with a server certificate for 127.0.0.1, and a self-signed one that nobody trusts."""
    ext = os.path.join(state, "server.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
                "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    p = lambda name: os.path.join(state, name)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p("ca.key"), "-out", p("ca.pem"),
            "-days", "30", "-subj", "/CN=OVAN Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("x509", "-in", p("ca.pem"), "-outform", "DER", "-out", p("ca.der"))
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", p("server.key"), "-out", p("server.csr"),
            "-subj", "/CN=127.0.0.1")
    openssl("x509", "-req", "-in", p("server.csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"), "-CAcreateserial",
            "-out", p("server.pem"), "-days", "30", "-extfile", ext)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p("untrusted.key"), "-out",
            p("untrusted.pem"), "-days", "30", "-subj", "/CN=127.0.0.1", "-addext",
            "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost")


QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def warm_up(wine, bin_folder):
    """A program run to its end, so that the prefix's services start now with no output attached:
    one started by a test's launcher would keep its output pipes open."""
    subprocess.run([wine, os.path.join(bin_folder, "ovan_hold_file.exe")], timeout=60, **QUIET)


def start(wine, bin_folder, state):
    """The prefix's persistent wineserver, its services and the idle desktop helper, the desktop up."""
    # A server that stays up between runs makes each later start take milliseconds.
    # Nothing that outlives this script may hold its output, or CTest waits for it forever.
    subprocess.run([winetools.wineserver(), "-p"], check=True, **QUIET)
    warm_up(wine, bin_folder)
    stop = os.path.join(state, "idle.stop")
    up = stop + ".up"
    if os.path.exists(up):
        os.remove(up)
    # Forked off by setsid, so that it is no child of the caller, which would wait for it.
    subprocess.run(["setsid", "-f", wine, os.path.join(bin_folder, "ovan_idle.exe"), winetools.win_path(stop)],
                   check=True, **QUIET)
    # What runs next starts once the desktop is up, not while it is still coming up beside it.
    deadline = time.monotonic() + 60
    while not os.path.exists(up):
        if time.monotonic() > deadline:
            raise RuntimeError("the idle desktop helper did not start")
        time.sleep(0.02)


def setup(args):
    """A lane's prefix: a copy of the template (with its trusted CA and certificates), its persistent
    wineserver started, its services up and the idle desktop helper running."""
    prefix = os.environ["WINEPREFIX"]
    subprocess.run([winetools.wineserver(), "-k"], **QUIET)
    for folder in (args.state, prefix):
        shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(args.template_state, args.state)
    # The system's files under windows Wine only reads once the prefix is booted: linking them spares writing
    # 700 MB for each lane. The rest (the registry, the users' folders) is copied.
    system = os.path.join(args.template, "drive_c", "windows") + os.sep

    def link_system_files(source, target):
        return os.link(source, target) if source.startswith(system) else shutil.copy2(source, target)
    shutil.copytree(args.template, prefix, symlinks=True, copy_function=link_system_files)
    start(args.wine, args.bin, args.state)
    print("wine prefix ready:", prefix)


def template(args):
    """A fresh prefix, booted once with the test CA trusted, and stopped, for each lane's setup to copy;
    the certificates beside it in its state folder."""
    prefix = os.environ["WINEPREFIX"]
    subprocess.run([winetools.wineserver(), "-k"], **QUIET)
    for folder in (args.state, prefix):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
    make_certificates(args.state)
    subprocess.run([args.wine, "wineboot", "-i"], check=True, **QUIET)
    trust = subprocess.run([args.wine, os.path.join(args.bin, "ovan_trust_ca.exe"),
                            winetools.win_path(os.path.join(args.state, "ca.der"))], **QUIET)
    if trust.returncode != 0:
        sys.exit("could not trust the test CA")
    # Stopped at once rather than waited out: the server saves the registry as it ends.
    subprocess.run([winetools.wineserver(), "-k"], check=True, **QUIET)
    print("wine prefix template ready:", prefix)


def cleanup(args):
    os.makedirs(args.state, exist_ok=True)
    open(os.path.join(args.state, "idle.stop"), "w").close()
    subprocess.run([winetools.wineserver(), "-k"], **QUIET)
    print("wine prefix stopped")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["template", "setup", "cleanup"])
    parser.add_argument("--wine", required=True)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--state", required=True)
    parser.add_argument("--template", help="the prefix the template action made, for setup to copy")
    parser.add_argument("--template-state", help="the template's state folder, with the certificates")
    args = parser.parse_args()
    os.environ["OVAN_WINE"] = args.wine
    {"template": template, "setup": setup, "cleanup": cleanup}[args.action](args)


if __name__ == "__main__":
    main()
