"""Installing and removing the project's Debian packages around a desktop
test, with dpkg: their dependencies are installed by scripts/setup.sh, so
that no test step needs the package mirror.

    with installed(["dist/tim-thumbnailer_1.0.0_amd64.deb", ...]):
        ... the clients see the packages ...

Packages that were installed before are put back as they were: upgraded
ones stay at the new build (reported), new ones are purged."""

import contextlib
import os
import subprocess

SUDO = [] if os.geteuid() == 0 else ["sudo"]
DPKG = SUDO + ["dpkg"]
ENV = dict(os.environ, DEBIAN_FRONTEND="noninteractive")


def package_name(deb):
    return subprocess.run(["dpkg-deb", "-f", deb, "Package"], check=True, capture_output=True,
                          text=True).stdout.strip()


def is_installed(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True)
    return result.stdout.startswith("install ok installed")


def install(debs):
    # A build of the version already installed replaces it too.
    subprocess.run(DPKG + ["--install"] + [os.path.abspath(d) for d in debs], check=True, env=ENV,
                   stdout=subprocess.DEVNULL)


def purge(packages):
    if packages:
        subprocess.run(DPKG + ["--purge"] + list(packages), check=True, env=ENV, stdout=subprocess.DEVNULL)


def with_dependencies(debs):
    """The packages and those of this project they depend on: tim-thumbnailer
    needs tim-tools, built beside it."""
    debs = list(debs)
    for deb in list(debs):
        if package_name(deb) == "tim-thumbnailer":
            folder = os.path.dirname(os.path.abspath(deb))
            tools = [os.path.join(folder, f) for f in sorted(os.listdir(folder)) if f.startswith("tim-tools_")]
            debs += [t for t in tools[-1:] if t not in debs]
    return debs


@contextlib.contextmanager
def installed(debs):
    debs = with_dependencies(debs)
    names = [package_name(d) for d in debs]
    before = [n for n in names if is_installed(n)]
    install(debs)
    try:
        yield names
    finally:
        for name in before:
            print(f"{name} was installed before the test; the new build stays installed")
        purge([n for n in names if n not in before])
