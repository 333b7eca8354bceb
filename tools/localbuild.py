"""Building the launcher for this machine's Wine and preparing a private prefix, for the demo and the benchmark."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))


def quiet(*args):
    subprocess.run(list(args), check=True, stdout=subprocess.DEVNULL)


def wine_for(arch, cache):
    """The command that runs programs of that width under Wine here: for i686 Wine's own, or the emulated
    route that tools/wine-route.sh sets up in cache."""
    if arch == "x86_64":
        return "/usr/lib/wine/wine64"
    route = subprocess.run([os.path.join(ROOT, "tools", "wine-route.sh"), cache], stdout=subprocess.PIPE, text=True)
    if route.returncode != 0:
        sys.exit("32-bit Windows programs cannot run here (see above)")
    return route.stdout.strip()


def build(build_dir, manifest_url, targets, options=(), preset=None, arch="i686"):
    """Configures build_dir for the given width (from a configure preset of CMakePresets.json, when given)
    with the given manifest address and further cache options (-DNAME=VALUE) and builds the targets;
    returns the Wine command that runs what it built."""
    wine = wine_for(arch, build_dir)
    source = ["--preset", preset] if preset else ["-S", ROOT]
    subprocess.run(["cmake", *source, "-B", build_dir, f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-{arch}.cmake",
                    "-DCMAKE_BUILD_TYPE=Release", f"-DOVAN_MANIFEST_URL={manifest_url}", f"-DOVAN_WINE32={wine}",
                    *options], check=True, stdout=subprocess.DEVNULL, cwd=ROOT)
    quiet("cmake", "--build", build_dir, "-j", str(os.cpu_count() or 2), "--target", *targets)
    return wine


class WinePrefix:
    """A private prefix in build_dir that trusts a fresh test CA, made as the tests make theirs: a template
    booted once, and a copy of it started; stopped on exit."""

    def __init__(self, build_dir, wine):
        self.build_dir = build_dir
        self.wine = wine
        self.state = os.path.join(build_dir, "state")
        self.template = os.path.join(build_dir, "wineprefix-template")
        self.template_state = os.path.join(build_dir, "state-template")
        os.environ["OVAN_WINE"] = wine
        os.environ["WINEPREFIX"] = os.path.join(build_dir, "wineprefix")
        os.environ.setdefault("WINEDEBUG", "-all")

    def _run(self, action, state, *more, prefix=None):
        environment = dict(os.environ, WINEPREFIX=prefix or os.environ["WINEPREFIX"])
        subprocess.run([sys.executable, os.path.join(ROOT, "tests", "e2e", "wine_prefix.py"), action, "--wine",
                        self.wine, "--bin", os.path.join(self.build_dir, "tests", "bin"), "--state", state, *more],
                       check=True, stdout=subprocess.DEVNULL, env=environment)

    def __enter__(self):
        self._run("template", self.template_state, prefix=self.template)
        self._run("setup", self.state, "--template", self.template, "--template-state", self.template_state)
        return self

    def __exit__(self, *exc):
        self._run("cleanup", self.state)

    def certificate(self):
        return os.path.join(self.state, "server.pem"), os.path.join(self.state, "server.key")
