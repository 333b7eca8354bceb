"""Checks the shipped launcher image: architecture, console subsystem, only system DLLs, a manifest, and\nthe network waits of a shipped build."""
import argparse
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "winhttp.dll", "bcrypt.dll", "msvcrt.dll", "advapi32.dll",
               "ntdll.dll", "crypt32.dll", "shell32.dll", "ole32.dll"}
FORMATS = {"i686": "pei-i386", "x86_64": "pei-x86-64"}
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
WINDOWS_SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
# A shipped launcher waits on a slow server as long as this; only test builds wait less.
REAL_NETWORK_WINDOWS = [b"OVAN_RECEIVE_TIMEOUT_MS=20000\n", b"OVAN_PACE_WINDOW_MS=60000\n",
                        b"OVAN_PACE_WINDOW_BYTES=65536\n"]


def manifest_problems(image):
    """What the embedded application manifest lacks: asInvoker, and long paths (without them Windows
    cuts every path at 260 characters)."""
    found = re.search(rb"<\?xml.*?</assembly>", image, re.S)
    if not found:
        return ["no application manifest"]
    try:
        root = ElementTree.fromstring(found.group(0))
    except ElementTree.ParseError as error:
        return ["application manifest is not well-formed XML: %s" % error]
    problems = []
    levels = [e.get("level") for e in root.iter(ASM_V3 + "requestedExecutionLevel")]
    if levels != ["asInvoker"]:
        problems.append("no asInvoker manifest")
    aware = root.findall(ASM_V3 + "application/" + ASM_V3 + "windowsSettings/" + WINDOWS_SETTINGS_2016 + "longPathAware")
    if [(e.text or "").strip().lower() for e in aware] != ["true"]:
        problems.append("manifest does not declare longPathAware")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--arch", required=True)
    args = parser.parse_args()
    dump = subprocess.run([args.objdump, "-p", args.exe], check=True, capture_output=True, text=True).stdout
    headers = subprocess.run([args.objdump, "-h", args.exe], check=True, capture_output=True, text=True).stdout
    problems = []
    if "file format " + FORMATS[args.arch] not in dump:
        problems.append("not a " + FORMATS[args.arch] + " image")
    if not re.search(r"Subsystem\s+00000003", dump):
        problems.append("not a console program")
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    if dlls - SYSTEM_DLLS:
        problems.append("imports non-system DLLs: " + ", ".join(sorted(dlls - SYSTEM_DLLS)))
    if ".rsrc" not in headers:
        problems.append("no resources (application manifest)")
    with open(args.exe, "rb") as f:
        image = f.read()
    problems += manifest_problems(image)
    # The choices resource carries them as text lines.
    problems += ["does not carry " + line.decode().strip() for line in REAL_NETWORK_WINDOWS if line not in image]
    characteristics = re.search(r"^Characteristics 0x([0-9a-f]+)", dump, re.M)
    if args.arch == "i686" and not (characteristics and int(characteristics.group(1), 16) & 0x20):
        problems.append("not large-address-aware")
    for problem in problems:
        print("FAIL:", problem)
    print("imports:", ", ".join(sorted(dlls)))
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
