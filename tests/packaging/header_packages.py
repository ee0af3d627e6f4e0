#!/usr/bin/env python3
"""Every header the build included comes from a package scripts/install-deps.sh installs.

    header_packages.py --build-dir DIR --source-dir DIR --mode demo|tests|bench [--ninja PATH]

Reads the headers of every compiled file from the build's dependency record (ninja's deps log,
or the compiler's .d files for other generators), leaves out those inside the source and build
trees, and looks up the Debian package of each of the others with dpkg -S. A header passes
when one of its packages is in the install script's list of the mode or in the dependency
closure of build-essential (the C and C++ libraries and the compiler's own headers). A header
of a package outside both, or of no package at all, fails the test, named with its package.
Exits 77 (skipped) where there is no dpkg.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

SKIP = 77


def ninja_deps(build_dir, ninja):
    out = subprocess.run([ninja, "-C", build_dir, "-t", "deps"], check=True,
                         capture_output=True, text=True).stdout
    # "target: #deps N, ..." then one indented path a line.
    return {line.strip() for line in out.splitlines() if line.startswith("    ")}


def depfile_deps(build_dir):
    paths = set()
    for root, _, files in os.walk(build_dir):
        for name in files:
            if name.endswith(".d"):
                with open(os.path.join(root, name), errors="replace") as f:
                    text = f.read().replace("\\\n", " ")
                for rule in text.splitlines():
                    _, _, prerequisites = rule.partition(": ")
                    paths.update(p.replace("\\ ", " ")
                                 for p in re.split(r"(?<!\\) +", prerequisites) if p)
    return paths


def inside(path, tree):
    return os.path.commonpath([path, tree]) == tree


def owners(paths):
    """Maps each path dpkg knows to the packages that ship it (one dpkg -S for all)."""
    found = {}
    for start in range(0, len(paths), 500):
        batch = paths[start:start + 500]
        out = subprocess.run(["dpkg", "-S", *batch], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("diversion by"):
                continue
            packages, sep, path = line.partition(": /")
            if sep:
                found.setdefault("/" + path, set()).update(
                    p.strip().split(":")[0] for p in packages.split(","))
    return found


def build_essential_closure():
    out = subprocess.run(
        ["apt-cache", "depends", "--recurse", "--installed", "--no-recommends",
         "--no-suggests", "--no-conflicts", "--no-breaks", "--no-replaces", "--no-enhances",
         "build-essential"], check=True, capture_output=True, text=True).stdout
    return {line.split(":")[0] for line in out.splitlines() if line and not line[0].isspace()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--source-dir", required=True)
    ap.add_argument("--mode", required=True, choices=["demo", "tests", "bench"])
    ap.add_argument("--ninja", default="ninja")
    a = ap.parse_args()
    if shutil.which("dpkg") is None or shutil.which("apt-cache") is None:
        print("no dpkg here: not a Debian system, nothing to check")
        return SKIP

    build_dir = os.path.realpath(a.build_dir)
    source_dir = os.path.realpath(a.source_dir)
    if os.path.exists(os.path.join(build_dir, ".ninja_deps")):
        deps = ninja_deps(build_dir, a.ninja)
    else:
        deps = depfile_deps(build_dir)

    headers = set()
    for dep in deps:
        path = os.path.normpath(os.path.join(build_dir, dep))
        real = os.path.realpath(path)
        if not any(inside(p, t) for p in (path, real) for t in (source_dir, build_dir)):
            headers.add(path)
    if not headers:
        print(f"no dependency record in {build_dir}: build it first")
        return 1

    # dpkg knows a file under the name its package ships it by; where that is a symlink's
    # target (or the link), the other name is tried next.
    listed = sorted(headers)
    found = owners(listed)
    unknown = {h: os.path.realpath(h) for h in listed if h not in found}
    found_real = owners(sorted({r for r in unknown.values()}))
    packages_of = {h: found.get(h) or found_real.get(unknown.get(h), set()) for h in listed}

    script = os.path.join(source_dir, "scripts", "install-deps.sh")
    listed_packages = set(subprocess.run(
        [script, "--print-packages", "--" + a.mode], check=True, capture_output=True,
        text=True).stdout.split())
    allowed = listed_packages | build_essential_closure()

    unowned = [h for h in listed if not packages_of[h]]
    missing = {}  # package(s) -> their headers the build included
    for header in listed:
        packages = packages_of[header]
        if packages and not packages & allowed:
            missing.setdefault(", ".join(sorted(packages)), []).append(header)
    used = sorted(set().union(*packages_of.values()))
    print(f"{len(listed)} headers from outside the tree, in the packages: {' '.join(used)}")
    for header in unowned:
        print(f"{header}: belongs to no Debian package")
    for package, included in sorted(missing.items()):
        more = f" and {len(included) - 5} more" if len(included) > 5 else ""
        print(f"{package}: not installed by scripts/install-deps.sh --{a.mode}, yet the build "
              f"includes {', '.join(included[:5])}{more}")
    return 1 if unowned or missing else 0


if __name__ == "__main__":
    sys.exit(main())
