#!/usr/bin/env python3
"""Install suite: tonewell as a Linux user gets it. cmake --install into a
DESTDIR, the manual page as man renders it, the release's tarball, and its
Debian package: checked by lintian, installed with apt-get, used on a script
through AviSynth+, and removed.

Run after building the preset linux64 (and linux32, for its rows); it makes
the Linux release into dist/ (tools/release.sh --linux). The package rows
need root, and install and then remove the package tonewell:
    python3 tests/install/run_install.py
    python3 tests/install/run_install.py -k deb
"""

import argparse
import os
import platform
import re
import subprocess
import sys
import tarfile
import tempfile
import wave
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests/support"))
from suite import Suite  # noqa: E402

VERSION = re.search(r"^project\(tonewell VERSION ([0-9.]+)",
                    (ROOT / "CMakeLists.txt").read_text(), re.M).group(1)
TIMEOUT_S = 600
APT_ENV = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
TARBALL = f"tonewell-{VERSION}-linux-{platform.machine()}"
DEB = "tonewell_{}_{}.deb".format(
    VERSION, subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                            text=True).stdout.strip())

RELEASE_ROW = "release: tools/release.sh --linux"
TARBALL_ROW = f"release: {TARBALL}.tar.gz holds the program, its page, README, LICENSE, CHANGES"
LINTIAN_ROW = f"deb: lintian reports no error on {DEB}"
PATH_ROW = "deb: apt-get install puts tonewell64 on the PATH"
CONVERT_ROW = "deb: the installed tonewell64 converts a script through AviSynth+"
REMOVE_ROW = "deb: apt-get remove takes every file of the package away"
PACKAGE_ROWS = (PATH_ROW, CONVERT_ROW, REMOVE_ROW)


def install_row(program):
    return f"install: cmake --install build/{program.parent.name} into a DESTDIR"


def man_row(program):
    return f"man: man -l {program.name}.1 renders without warnings, naming every option"


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=TIMEOUT_S, **kwargs)


def failed(result, what):
    """The problem of a command that did not succeed, with its last words."""
    if result.returncode == 0:
        return []
    said = (result.stdout + result.stderr).strip().splitlines()[-15:]
    return [f"{what}: status {result.returncode}"] + [f"  {line}" for line in said]


def test_cmake_install(suite, program, work):
    """Installs the preset's build as a package manager would, and returns
    the installed manual page for the man rows."""
    destdir = work / f"destdir-{program.name}"
    problems = failed(run(["cmake", "--install", str(program.parent), "--prefix", "/usr"],
                          env={**os.environ, "DESTDIR": str(destdir)}), "cmake --install")
    files = sorted(str(p.relative_to(destdir)) for p in destdir.rglob("*") if not p.is_dir())
    expected = [f"usr/bin/{program.name}", f"usr/share/man/man1/{program.name}.1"]
    if not problems and files != expected:
        problems.append(f"installed {files}, expected {expected}")
    installed = destdir / expected[0]
    if not problems:
        usage = run([str(installed), "-h"])
        problems += failed(usage, f"{installed} -h")
        if not usage.stdout.startswith(f"{program.name}  (version {VERSION})\n"):
            problems.append(f"{installed} -h printed {usage.stdout[:60]!r}")
    suite.check(install_row(program), problems)
    return installed, destdir / expected[1]


def test_manual_page(suite, program, page):
    """man renders the page without a warning of groff's, and it names every
    option of the program's usage text and the version."""
    problems = []
    env = {**os.environ, "LC_ALL": "C.UTF-8", "MANWIDTH": "80"}
    shown = run(["man", "-l", "--warnings=w", str(page)], env=env)
    problems += failed(shown, "man -l")
    if shown.stderr:
        problems.append(f"man -l warned: {shown.stderr.strip()}")
    if f"{program.name} - write the audio" not in shown.stdout:
        problems.append(f"no NAME line for {program.name}: {shown.stdout[:300]!r}")
    with tempfile.NamedTemporaryFile("w", suffix=".txt") as text:
        text.write(shown.stdout)
        text.flush()
        problems += failed(run([str(ROOT / "tools/release.sh"), "--check-readme", text.name,
                                str(program)]), "the page against the usage text")
    suite.check(man_row(program), problems)


def test_tarball(suite):
    name = TARBALL  # the archive's one directory
    problems = []
    with tarfile.open(ROOT / f"dist/{TARBALL}.tar.gz") as tar:
        members = {m.name: m for m in tar.getmembers()}
        expected = [name] + [f"{name}/{f}" for f in
                             ("CHANGES", "LICENSE", "README.md", "tonewell64", "tonewell64.1")]
        if sorted(members) != expected:
            problems.append(f"holds {sorted(members)}, expected {expected}")
        else:
            modes = {n: oct(m.mode) for n, m in members.items() if m.uid or m.gid or
                     m.mode != (0o755 if m.isdir() or n.endswith("64") else 0o644)}
            if modes:
                problems.append(f"owners or modes wrong: {modes}")
            if tar.extractfile(f"{name}/LICENSE").read() != (ROOT / "LICENSE").read_bytes():
                problems.append("its LICENSE is not the tree's")
    suite.check(TARBALL_ROW, problems)


def test_lintian(suite, deb):
    report = run(["lintian", str(deb)])
    errors = [line for line in report.stdout.splitlines() if line.startswith("E:")]
    problems = errors or (failed(report, "lintian") if report.returncode > 1 else [])
    suite.check(LINTIAN_ROW, problems)


def package_files():
    listed = run(["dpkg", "-L", "tonewell"])
    return [Path(line) for line in listed.stdout.splitlines() if line.startswith("/")]


def converts_a_script(work):
    """Problems with a conversion of one second of AviSynth+'s Tone() by the
    tonewell64 that the PATH finds."""
    (work / "tone.avs").write_text("Tone(length=1, samplerate=8000)\n")
    problems = failed(run(["tonewell64", "tone.avs", "tone.wav"], cwd=work),
                      "tonewell64 tone.avs tone.wav")
    if problems:
        return problems
    try:
        with wave.open(str(work / "tone.wav")) as w:
            shape = (w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes())
    except (wave.Error, EOFError) as error:
        return [f"tone.wav is no RIFF/WAVE file: {error}"]
    if shape != (2, 2, 8000, 8000):
        return [f"(channels, bytes, rate, frames) {shape}, expected 1 s of 16-bit stereo at 8 kHz"]
    return []


def test_package(suite, deb, work):
    """Installs the package, converts a script with it and removes it."""
    if run(["dpkg", "-s", "tonewell"]).returncode == 0:  # a previous run's
        run(["apt-get", "remove", "-y", "tonewell"], env=APT_ENV)
    try:
        problems = failed(run(["apt-get", "install", "-y", str(deb)], env=APT_ENV),
                          f"apt-get install {deb}")
        found = run(["bash", "-c", "command -v tonewell64"]).stdout.strip()
        if found != "/usr/bin/tonewell64":
            problems.append(f"command -v tonewell64 is {found!r}, expected /usr/bin/tonewell64")
        suite.check(PATH_ROW, problems)
        if problems:
            suite.check(CONVERT_ROW, ["the package is not installed"])
            suite.check(REMOVE_ROW, ["the package is not installed"])
            return
        suite.check(CONVERT_ROW, converts_a_script(work))

        files = package_files()
        problems = [f"{p} missing after the install" for p in files if not p.exists()]
        problems += failed(run(["apt-get", "remove", "-y", "tonewell"], env=APT_ENV),
                           "apt-get remove")
        # What stays: the directories that hold other packages' files too.
        left = [p for p in files
                if p.exists() and not (p.is_dir() and any(c not in files for c in p.iterdir()))]
        if left:
            problems.append(f"left behind: {[str(p) for p in left]}")
        suite.check(REMOVE_ROW, problems)
    finally:
        if run(["dpkg", "-s", "tonewell"]).returncode == 0:
            run(["apt-get", "remove", "-y", "tonewell"], env=APT_ENV)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-k", dest="keyword", metavar="TEXT",
                        help="run only the rows whose name holds TEXT")
    args = parser.parse_args()
    suite = Suite(args.keyword)
    program64 = ROOT / "build/linux64/tonewell64"
    if not program64.is_file():
        print(f"{program64} not built")
        print("0 passed, 1 failed")
        return 1
    programs = [program64]
    program32 = ROOT / "build/linux32/tonewell32"
    if program32.is_file():
        programs.append(program32)
    else:
        print(f"skip the rows of tonewell32: {program32} not built")

    with tempfile.TemporaryDirectory(prefix="tonewell-install-") as tmp:
        work = Path(tmp)
        for program in programs:
            if suite.wants(install_row(program), man_row(program)):
                installed, page = test_cmake_install(suite, program, work)
                if page.is_file():
                    test_manual_page(suite, installed, page)

        if suite.wants(RELEASE_ROW, TARBALL_ROW, LINTIAN_ROW, *PACKAGE_ROWS):
            release = run([str(ROOT / "tools/release.sh"), "--linux"])
            suite.check(RELEASE_ROW, failed(release, "tools/release.sh --linux"))
            if release.returncode == 0:
                test_tarball(suite)
                test_lintian(suite, ROOT / "dist" / DEB)
                if suite.wants(*PACKAGE_ROWS):
                    if os.geteuid() == 0:
                        test_package(suite, ROOT / "dist" / DEB, work)
                    else:
                        print("skip the deb's rows of apt-get install, use and remove: "
                              "they need root")

    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
