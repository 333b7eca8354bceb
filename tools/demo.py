"""The launcher end to end on this machine: a sample release published with OVANPublish, served
from a loopback https server, installed, updated and found current by the real launcher.

    python3 tools/demo.py            (make demo calls it)
"""
import os
import shutil
import subprocess
import sys
import urllib.parse

from localbuild import ROOT, WinePrefix, build

import winetools  # noqa: E402
from update_server import Route, UpdateServer  # noqa: E402

BUILD = os.path.join(ROOT, "build-demo")
PORT = 47843
MANIFEST_URL = f"https://127.0.0.1:{PORT}/ovan/update/manifest.json"
TARGETS = ["OVANLauncher", "OVANPublish", "ovan_stand_in_app", "ovan_trust_ca", "ovan_idle"]


def step(text):
    print("\n== " + text, flush=True)


def make_release(version, files):
    folder = os.path.join(BUILD, "releases", version)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(os.path.join(BUILD, "tests", "bin", "ovan_stand_in_app.exe"), os.path.join(folder, "Pellaron.exe"))
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(text)
    manifest = os.path.join(BUILD, "releases", f"manifest-{version}.json")
    base = f"https://127.0.0.1:{PORT}/releases/{version}"
    result = winetools.run_windows([os.path.join(BUILD, "bin", "OVANPublish.exe"), "pack", winetools.win_path(folder),
                                    version, base, winetools.win_path(manifest)])
    print(result.stdout.decode("utf-8").strip(), result.stderr.decode("utf-8").strip())
    if result.returncode != 0:
        sys.exit("OVANPublish pack failed")
    return folder, manifest


def publish(server, version, folder, manifest):
    with open(manifest, "rb") as f:
        server.routes["/ovan/update/manifest.json"] = Route(body=f.read())
    # Each file under the path that OVANPublish wrote into the manifest: the name percent-encoded.
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            server.routes[f"/releases/{version}/{urllib.parse.quote(name, safe='')}"] = Route(body=f.read())
    print(f"The server now offers version {version}.")


def run_launcher(app, wine):
    started = os.path.join(app, "started.txt")
    if os.path.exists(started):
        os.remove(started)
    result = subprocess.run([wine, os.path.join(app, "OVANLauncher.exe")], cwd=app, capture_output=True)
    with open(os.path.join(app, "current.txt"), "rb") as f:
        installed = f.read().decode("utf-8-sig")
    print(f"Exit code {result.returncode}; current.txt holds {installed}; the folder holds: "
          + ", ".join(sorted(os.listdir(app))))
    if result.stderr:
        print("Standard error:", result.stderr.decode("utf-8"))
    if os.path.exists(started):
        command_line = open(started, encoding="utf-8").read().splitlines()[0]
        print("The application was started with the command line:", command_line)
    return result.returncode


def main():
    step(f"Building the launcher with the manifest address {MANIFEST_URL}")
    wine = build(BUILD, MANIFEST_URL, TARGETS)
    step("Preparing a demo Wine prefix that trusts a demo CA")
    codes = []
    with WinePrefix(BUILD, wine) as prefix:
        server = UpdateServer(PORT, *prefix.certificate())
        try:
            codes = demonstrate(server, wine)
        finally:
            server.stop()
    if codes != [0, 0, 0]:
        sys.exit(f"the demo did not go as expected: exit codes {codes}")
    print("Demo finished: installed, updated and found current; nothing is left running.")


def demonstrate(server, wine):
    codes = []
    step("Publishing release 1.0.0 and 1.1.0 with OVANPublish")
    r1 = make_release("1.0.0", {"app.dll": "biblioteka 1.0.0\n", "readme.txt": "Pellaron 1.0.0\n"})
    r2 = make_release("1.1.0", {"app.dll": "biblioteka 1.1.0\n", "readme.txt": "Pellaron 1.1.0\n",
                                "plugin.dll": "nowa wtyczka\n"})
    app = os.path.join(BUILD, "app")
    shutil.rmtree(app, ignore_errors=True)
    os.makedirs(app)
    shutil.copy(os.path.join(BUILD, "bin", "OVANLauncher.exe"), app)
    publish(server, "1.0.0", *r1)
    step("First run in an empty AppFolder: the launcher installs 1.0.0")
    codes.append(run_launcher(app, wine))
    publish(server, "1.1.0", *r2)
    step("Second run: the launcher updates the installation to 1.1.0")
    codes.append(run_launcher(app, wine))
    step("Third run: the installation is current, the launcher only starts the application")
    codes.append(run_launcher(app, wine))
    step("update.log of the AppFolder")
    print(open(os.path.join(app, "update.log"), "rb").read().decode("utf-8").replace("\r\n", "\n"))
    return codes


if __name__ == "__main__":
    main()
