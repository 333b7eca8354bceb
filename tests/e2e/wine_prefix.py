"""Makes the tests' Wine prefix (test CA trusted, desktop kept alive) and stops it again.

    wine_prefix.py template|setup|cleanup --wine WINE --bin TEST_BIN --state STATE_DIR [--template PREFIX]
"""
import argparse
import os
import shutil
import subprocess
import sys

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


def setup(args):
    shutil.rmtree(args.state, ignore_errors=True)
    os.makedirs(args.state)
    prefix = os.environ["WINEPREFIX"]
    subprocess.run([winetools.wineserver(), "-k"], stderr=subprocess.DEVNULL)
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    # A server that stays up between runs makes each later start take milliseconds.
    # Nothing that outlives this script may hold its output, or CTest waits for it forever.
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if args.template:
        # A copy of a prefix made once: each lane needs its own, and making one costs a Wine boot.
        shutil.rmtree(prefix)
        shutil.copytree(args.template, prefix, symlinks=True)
    subprocess.run([winetools.wineserver(), "-p"], check=True, **quiet)
    if not args.template:
        subprocess.run([args.wine, "wineboot", "-i"], check=True, **quiet)
    make_certificates(args.state)
    trust = subprocess.run([args.wine, os.path.join(args.bin, "ovan_trust_ca.exe"),
                            winetools.win_path(os.path.join(args.state, "ca.der"))], **quiet)
    if trust.returncode != 0:
        sys.exit("could not trust the test CA")
    stop = os.path.join(args.state, "idle.stop")
    subprocess.Popen([args.wine, os.path.join(args.bin, "ovan_idle.exe"), winetools.win_path(stop)],
                     start_new_session=True, **quiet)
    print("wine prefix ready:", prefix)


def template(args):
    """A fresh prefix, booted and stopped, for setup --template to copy."""
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    prefix = os.environ["WINEPREFIX"]
    subprocess.run([winetools.wineserver(), "-k"], **quiet)
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    subprocess.run([args.wine, "wineboot", "-i"], check=True, **quiet)
    subprocess.run([winetools.wineserver(), "-w"], check=True, **quiet)
    print("wine prefix template ready:", prefix)


def cleanup(args):
    os.makedirs(args.state, exist_ok=True)
    open(os.path.join(args.state, "idle.stop"), "w").close()
    subprocess.run([winetools.wineserver(), "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    print("wine prefix stopped")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["template", "setup", "cleanup"])
    parser.add_argument("--wine", required=True)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--state", required=True)
    parser.add_argument("--template", help="a prefix made by the template action, copied instead of booting one")
    args = parser.parse_args()
    os.environ["OVAN_WINE"] = args.wine
    {"template": template, "setup": setup, "cleanup": cleanup}[args.action](args)


if __name__ == "__main__":
    main()
