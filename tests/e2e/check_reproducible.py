"""Builds an image again from the same sources (its own objects compiled anew, then linked) and requires the
very same bytes: a release whose launcher did not change must not send it again."""
import argparse
import glob
import os
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--target", required=True)
    parser.add_argument("--exe", required=True)
    args = parser.parse_args()
    with open(args.exe, "rb") as f:
        before = f.read()
    objects = glob.glob(os.path.join(args.build, "CMakeFiles", args.target + ".dir", "**", "*.obj"), recursive=True)
    objects += glob.glob(os.path.join(args.build, "CMakeFiles", args.target + ".dir", "**", "*.res"), recursive=True)
    if not objects:
        print("no objects of", args.target)
        return 1
    for path in objects + [args.exe]:
        os.remove(path)
    subprocess.run(["cmake", "--build", args.build, "--target", args.target], check=True, stdout=subprocess.DEVNULL)
    with open(args.exe, "rb") as f:
        after = f.read()
    if after != before:
        differing = [i for i in range(min(len(before), len(after))) if before[i] != after[i]]
        print(f"{args.exe}: {len(before)} and {len(after)} bytes, {len(differing)} differ, first at {differing[:8]}")
        return 1
    print(f"{args.exe}: the same {len(after)} bytes after {len(objects)} objects were built again")
    return 0


if __name__ == "__main__":
    sys.exit(main())
