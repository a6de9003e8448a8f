"""Wine for the suites and the bench: a throw-away prefix with its server
kept up, and file handlers registered in it for ".avs" as their installers
do (the test source handler, AviSynth+).
"""

import contextlib
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

# Debian's `wine` starts its 32-bit loader first, even for a 64-bit program,
# so the 64-bit programs and the prefix's tools use the 64-bit loader.
WINE64 = "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else "wine"
WINE32 = str(ROOT / "tools/wine32")


def wine_path(path):
    """`path` as a Windows program under Wine names it, on drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


def boot_prefix(env):
    """Makes the prefix with both its sides, through tools/wine32; returns
    what went wrong, or None. Wine's services inherit wineboot's streams and
    outlive it, so its messages go to a file, which no reader waits on."""
    with tempfile.TemporaryFile() as messages:
        status = subprocess.run([WINE32, "wineboot", "--init"], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=messages, timeout=300).returncode
        if status == 0:
            return None
        messages.seek(0)
        return f"status {status}, saying: {messages.read()[-2000:].decode(errors='replace')}"


@contextlib.contextmanager
def wine_prefix():
    """The environment of a Wine prefix made for this run, its server kept
    up until the end. One prefix serves both widths; tools/wine32 makes it,
    with its 32-bit side (syswow64), which the 64-bit wineboot alone leaves
    out where the kernel runs no 32-bit code."""
    prefix = tempfile.mkdtemp(prefix="tonewell-wine-")
    # Wine reads arguments and Unix file names in the locale's character set;
    # in an ASCII one (LANG=C) it drops the high bits of every byte before
    # the program starts. The suite names its files in UTF-8, and Wine's code
    # page is then 1252 whatever the runner's locale.
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", DISPLAY="",
               WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
    keeper = None
    try:
        subprocess.run(["wineserver", "-p"], env=env, check=True)
        failure = boot_prefix(env)
        if failure:
            # Seen once, never reproduced: a second prefix's wineboot ended
            # with status 53 (STATUS_DLL_NOT_FOUND). wineboot completes a
            # prefix it finds half made, so it gets one more try.
            print(f"wineboot --init failed, trying once more: {failure}", flush=True)
            failure = boot_prefix(env)
            if failure:
                raise RuntimeError(f"wineboot --init failed: {failure}")
        # Wine's desktop process ends some seconds after the last program;
        # started again by the next one, it fails to start RpcSs, and from
        # then on every program waits 14 s for it (Wine 8.0). A program that
        # lives as long as the prefix keeps the desktop up: cmd.exe, waiting
        # for input that never comes.
        keeper = subprocess.Popen([WINE64, "cmd.exe"], env=env, stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        yield env
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        if keeper:
            keeper.stdin.close()
            keeper.wait()
        shutil.rmtree(prefix, ignore_errors=True)


TEST_SOURCE_CLSID = "{A9789E98-0F61-4F56-9341-26305B511B90}"
# AviSynth+'s class, as its installer registers it for .avs.
AVISYNTH_CLSID = "{E6D6B700-124D-11D4-86F3-DB80AFD98778}"


def register_avs_handler(env, clsid, dll64, dll32):
    """Registers the file handler `clsid` for ".avs" in the prefix: the
    extension key, which both widths share, and the class in the 64-bit view
    (`dll64`) and in the 32-bit one (Wow6432Node, `dll32`). The 64-bit
    regedit writes both views; Debian's `wine reg` would reach the 32-bit one
    only."""
    classes = r"HKEY_LOCAL_MACHINE\Software\Classes"

    def server(view, dll):
        dll = wine_path(dll).replace("\\", "\\\\")  # .reg escapes backslashes
        return (f"[{classes}\\{view}CLSID\\{clsid}\\InprocServer32]\n"
                f'@="{dll}"\n"ThreadingModel"="Apartment"\n\n')

    path = Path(env["WINEPREFIX"]) / "avs_handler.reg"
    path.write_text("Windows Registry Editor Version 5.00\n\n"
                    f'[{classes}\\AVIFile\\Extensions\\AVS]\n@="{clsid}"\n\n' +
                    server("", dll64) + server("Wow6432Node\\", dll32))
    subprocess.run([WINE64, "regedit", "/S", str(path)], env=env, check=True,
                   stdin=subprocess.DEVNULL, timeout=120)


def register_test_source(env):
    """The test source handler (tests/test_source) for ".avs"."""
    register_avs_handler(env, TEST_SOURCE_CLSID,
                         ROOT / "build/win64/tonewell_test_source.dll",
                         ROOT / "build/win32/tonewell_test_source.dll")


def avisynth_dll(width):
    """AviSynth+'s DLL for "win64" or "win32", as tools/build-avisynth.sh
    built and cached it (building it first if the cache lacks it)."""
    result = subprocess.run([str(ROOT / "tools/build-avisynth.sh"), width], check=True,
                            stdout=subprocess.PIPE, text=True)
    return Path(result.stdout.strip())


def register_avisynth(env):
    """AviSynth+ for ".avs", as its installer registers it."""
    register_avs_handler(env, AVISYNTH_CLSID, avisynth_dll("win64"), avisynth_dll("win32"))
