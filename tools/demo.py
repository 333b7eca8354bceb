"""The launcher end to end on this machine, published as a maker publishes: the launcher built from the
preset `recommended`, a key made with OVANPublish keygen and built into it, sample releases (the launcher
among their files) packed and signed with OVANPublish, served by nginx over https on loopback. The real
launcher installs 1.0.0, updates to 1.1.0, finds it current, and refuses a manifest that was changed on
the server after it was signed; pack refuses a release whose launcher would look for updates elsewhere.

    python3 tools/demo.py            (make demo calls it)
"""
import os
import re
import shutil
import subprocess
import sys

from localbuild import ROOT, WinePrefix, build

import winetools  # noqa: E402
from harness import MANIFEST_PATH, sha256_hex  # noqa: E402
from nginx_server import NginxServer, publish_with_pack  # noqa: E402

BUILD = os.path.join(ROOT, "build-demo")
PORT = 47843
MANIFEST_URL = f"https://127.0.0.1:{PORT}{MANIFEST_PATH}"
TARGETS = ["OVANLauncher", "OVANPublish", "ovan_stand_in_app", "ovan_trust_ca", "ovan_idle"]
PUBLISH = os.path.join(BUILD, "bin", "OVANPublish.exe")
LAUNCHER = os.path.join(BUILD, "bin", "OVANLauncher.exe")
PRESET = "recommended"


def step(text):
    print("\n== " + text, flush=True)


def show(result):
    for stream in (result.stdout, result.stderr):
        text = stream.decode("utf-8").strip()
        if text:
            print(text)


def make_key():
    """A fresh private key; returns the public key that keygen prints for the launcher."""
    key = os.path.join(BUILD, "keys", "release.key")
    shutil.rmtree(os.path.dirname(key), ignore_errors=True)
    os.makedirs(os.path.dirname(key))
    result = winetools.run_windows([PUBLISH, "keygen", winetools.win_path(key)])
    show(result)
    if result.returncode != 0:
        sys.exit("OVANPublish keygen failed")
    return key, result.stdout.decode("utf-8").split()[-1]


def release_folder(version, files):
    folder = os.path.join(BUILD, "releases", version)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(os.path.join(BUILD, "tests", "bin", "ovan_stand_in_app.exe"), os.path.join(folder, "Pellaron.exe"))
    shutil.copy(LAUNCHER, folder)
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(text)
    return folder


def publish(server, key, version, files):
    result = publish_with_pack(PUBLISH, server, release_folder(version, files), version, MANIFEST_PATH, key)
    show(result)
    if result.returncode != 0:
        sys.exit("OVANPublish pack failed")
    print(f"nginx now offers version {version}.")


def refuse_elsewhere(server, key):
    """A release packed for another address than the one its launcher asks: pack writes nothing."""
    out = os.path.join(BUILD, "elsewhere")
    shutil.rmtree(out, ignore_errors=True)
    result = winetools.run_windows([PUBLISH, "pack", winetools.win_path(release_folder("1.2.1", {})), "1.2.1",
                                    server.url("/ovan/updates"), winetools.win_path(out), "--sign",
                                    winetools.win_path(key)])
    show(result)
    print(f"Exit code {result.returncode}; the output folder was " + ("written" if os.path.exists(out) else "not written"))
    return result.returncode


def tamper(server):
    """What an intruder on the server would do: swap app.dll for another file and put that file's
    digest into the manifest, leaving the signature as it was."""
    manifest_file = server.file(MANIFEST_PATH)
    manifest = open(manifest_file, "rb").read()
    entry = re.search(rb'\{[^}]*"name": "app\.dll"[^}]*\}', manifest).group(0)
    url = re.search(rb'"url": "https://[^/]+([^"]+)"', entry).group(1).decode()
    forged = "podmieniona biblioteka\n".encode("utf-8")
    with open(server.file(url), "wb") as f:
        f.write(forged)
    digest = re.search(rb'"sha256": "([0-9A-Fa-f]{64})"', entry).group(1)
    with open(manifest_file, "wb") as f:
        f.write(manifest.replace(digest, sha256_hex(forged).encode()))
    print(f"The manifest on the server now names a forged app.dll ({url}); its signature is unchanged.")


def run_launcher(app, wine, server):
    started = os.path.join(app, "started.txt")
    if os.path.exists(started):
        os.remove(started)
    server.clear_log()
    result = subprocess.run([wine, os.path.join(app, "OVANLauncher.exe")], cwd=app, capture_output=True)
    with open(os.path.join(app, "current.txt"), "rb") as f:
        installed = f.read().decode("utf-8-sig")
    print(f"Exit code {result.returncode}; current.txt holds {installed}; the folder holds: "
          + ", ".join(sorted(os.listdir(app))))
    if os.path.exists(os.path.join(app, "app.dll")):
        print("app.dll holds:", open(os.path.join(app, "app.dll"), encoding="utf-8").read().strip())
    if result.stderr:
        print("Standard error:", result.stderr.decode("utf-8").strip())
    print("nginx access log of this run:")
    for row in server.served():
        print(f"    {row.status} {row.size:>8} bytes  {row.path}")
    if os.path.exists(started):
        command_line = open(started, encoding="utf-8").read().splitlines()[0]
        print("The application was started with the command line:", command_line)
    return result.returncode


def main():
    step(f"Building OVANPublish and the launcher from the preset {PRESET} with the manifest address {MANIFEST_URL}")
    wine = build(BUILD, MANIFEST_URL, TARGETS, preset=PRESET)
    step("Preparing a demo Wine prefix that trusts a demo CA")
    codes = []
    with WinePrefix(BUILD, wine) as prefix:
        step("Making a release key with OVANPublish keygen and building its public key into the launcher")
        key, public_key = make_key()
        build(BUILD, MANIFEST_URL, ["OVANLauncher"], [f"-DOVAN_RELEASE_PUBLIC_KEYS={public_key}"], preset=PRESET)
        site = os.path.join(BUILD, "site")
        shutil.rmtree(site, ignore_errors=True)
        with NginxServer(PORT, os.path.join(site, "root"), *prefix.certificate(), site) as server:
            print(f"nginx serves {server.root} at {server.url('/')}")
            codes = demonstrate(server, wine, key)
    if codes != [0, 0, 0, 3, 1]:
        sys.exit(f"the demo did not go as expected: exit codes {codes}")
    print("\nDemo finished: installed, updated, found current, refused a forged manifest, refused to pack a launcher "
          "for another address; nothing is left running.")


def demonstrate(server, wine, key):
    codes = []
    app = os.path.join(BUILD, "app")
    shutil.rmtree(app, ignore_errors=True)
    os.makedirs(app)
    shutil.copy(LAUNCHER, app)
    step("Packing and signing release 1.0.0 with OVANPublish into the folder nginx serves")
    publish(server, key, "1.0.0", {"app.dll": "biblioteka 1.0.0\n", "readme.txt": "Pellaron 1.0.0\n"})
    step("First run in an empty AppFolder: the launcher installs 1.0.0")
    codes.append(run_launcher(app, wine, server))
    step("Packing and signing release 1.1.0")
    publish(server, key, "1.1.0", {"app.dll": "biblioteka 1.1.0\n", "readme.txt": "Pellaron 1.1.0\n",
                                   "plugin.dll": "nowa wtyczka\n"})
    step("Second run: the launcher updates the installation to 1.1.0")
    codes.append(run_launcher(app, wine, server))
    step("Third run: the installation is current, the launcher only starts the application")
    codes.append(run_launcher(app, wine, server))
    step("Packing and signing release 1.2.0, then changing its manifest on the server")
    publish(server, key, "1.2.0", {"app.dll": "biblioteka 1.2.0\n", "readme.txt": "Pellaron 1.2.0\n",
                                   "plugin.dll": "nowa wtyczka\n"})
    tamper(server)
    step("Fourth run: the signature does not match the manifest; nothing is downloaded, nothing changes")
    codes.append(run_launcher(app, wine, server))
    step("Packing release 1.2.1 for a mistyped base address: its launcher asks elsewhere, so pack refuses it")
    codes.append(refuse_elsewhere(server, key))
    step("update.log of the AppFolder")
    print(open(os.path.join(app, "update.log"), "rb").read().decode("utf-8").replace("\r\n", "\n"))
    return codes


if __name__ == "__main__":
    main()
