"""What the Windows tests drive the programs with: calls under time limits,
the Wine modes, one run of a program under Wine, and its sheet read back
through the sheet probe. The fixtures are in conftest.py, the checks in the
test_*.py files beside it.
"""
import itertools
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
OUT = ROOT / "build" / "windows-tests"
SHOTS = OUT / "screenshots"
PROGRAM = "tools/tarn-flash-update/tarn-flash-update.exe"
PROBE = "tests/windows/tarn-sheet-probe.exe"
CAPTION = "TARN Flash Update Tool, Rev. 15/53/106/152"
MESSAGE = "TARN Flash Update Tool"
CHOICE = "Flash Update Tool"
POWER_OFF = "Shut down and power off the computer\\nfor the update to become active."
BAR_FULL = "100 (msctls_progress32)"
SHOWN = "group visible, PCI visible, CardBus visible"  # an older card's interface choice
HIDDEN = "group hidden, PCI hidden, CardBus hidden"

# The whole part's limit: every call and every wait ends there at the latest.
WHOLE_LIMIT = int(os.environ.get("TARN_WINDOWS_LIMIT", "1200"))
_deadline = time.monotonic() + WHOLE_LIMIT
limit_reached = ""  # what was waited for when it came; conftest stops the run


def _seconds_left(what):
    global limit_reached
    left = _deadline - time.monotonic()
    if left <= 0:
        limit_reached = what
        pytest.fail(f"the Windows part reached its limit of {WHOLE_LIMIT} s, waiting for {what}")
    return left


@dataclass
class Ran:
    code: int
    out: str  # standard output, carriage returns taken out


def bounded(seconds, what, command, stdout=None, tearing_down=False, **popen):
    """Runs COMMAND to its end within SECONDS and the whole part's limit
    (past which only tearing down may go on). Past either, it and what it
    started are stopped and the test fails, naming WHAT was waited for.
    Output goes to files, never pipes: a process left behind (a wineserver)
    must not hold the call open."""
    left = seconds if tearing_down else _seconds_left(what)
    popen.setdefault("stderr", subprocess.DEVNULL)
    with tempfile.TemporaryFile() as captured:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout or captured,
                                   start_new_session=True, **popen)
        try:
            code = process.wait(timeout=min(seconds, left))
        except subprocess.TimeoutExpired:
            code = None
        finally:
            stop(process)
        if code is None:
            if not tearing_down:
                _seconds_left(what)  # says so when it was the whole part's limit
            pytest.fail(f"waited {seconds} s for {what}; stopped it")
        captured.seek(0)
        return Ran(code, captured.read().decode("utf-8", "replace").replace("\r", ""))


def stop(process):
    """Stops PROCESS and everything it started in its session."""
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGKILL)
    process.wait()


def wait_until(seconds, what, ready, every=0.3, app=None):
    """Asks READY until it says yes; fails naming WHAT after SECONDS, or at
    once, saying why, when APP's program has ended meanwhile."""
    end = time.monotonic() + min(seconds, _seconds_left(what))
    while not ready():
        if app is not None and not app.running():
            pytest.fail(f"{app.label}: the program ended unexpectedly (exit status {app.process.returncode}): "
                        f"{app.why()}")
        if time.monotonic() >= end:
            _seconds_left(what)
            pytest.fail(f"waited {seconds} s for {what}")
        time.sleep(every)


def xdotool(*args):
    return bounded(10, f"xdotool {args[0]}", ["xdotool", *args])


def window(title):
    """The id of the top-level window titled TITLE, or ''."""
    return (xdotool("search", "--name", f"^{re.escape(title)}$").out.split() or [""])[0]


def gone(title, seconds):
    """Whether the window titled TITLE is gone within SECONDS."""
    end = time.monotonic() + seconds
    while window(title):
        if time.monotonic() >= end:
            return False
        time.sleep(0.3)
    return True


def colours(picture):
    return int(bounded(30, f"the colours of {picture.name}",
                       ["convert", str(picture), "-format", "%k", "info:"]).out or 0)


def first_error(log, fallback=r"^.+$"):
    """The line of a Wine log that says why a program ended."""
    text = Path(log).read_text("latin-1") if Path(log).exists() else ""
    found = re.search(r"^.*(err:|^wine: |[Ee]rror|cannot|not found).*$", text, re.M) or re.search(fallback, text, re.M)
    return found.group(0) if found else ""


EMULATION_FAILED = "the emulation failed"


def emulation_error(log, status=None):
    """Why a process under emulation ended: the emulation's failure (qemu or
    Wine gave up before the program was loaded, or qemu ended the loaded
    program for a signal Wine never reported, saying so or not: STATUS, the
    launcher's, is then negative, timeout passing the signal on, or above
    128 from a shell) or the program's (a fault of the program itself Wine
    reports as an unhandled exception). Wine's own programs live in its
    system folder; the tests' do not."""
    line = first_error(log, r"^qemu.*$")
    text = Path(log).read_text("latin-1") if Path(log).exists() else ""
    loaded = re.findall(r'Loaded L.*\.exe" at .*$', text, re.M | re.I)
    ended_by_qemu = re.search(r"^qemu: uncaught target signal.*$", text, re.M)
    if not ended_by_qemu and status and not 0 <= status <= 128:
        ended_by_qemu = [f"exit status {status}"]
    if not any("windows\\\\system32" not in entry.lower() for entry in loaded):
        return (f"{EMULATION_FAILED} before the program started (qemu or 32-bit Wine): "
                f"{line or 'no message from qemu or Wine'}")
    if ended_by_qemu and "wine: Unhandled" not in text:
        return f"{EMULATION_FAILED} after the program was loaded (qemu ended it, Wine saw no fault): {ended_by_qemu[0]}"
    return f"the program was loaded, then ended: {line or 'no message from Wine'}"


class Wine:
    """One Wine mode: how its loader starts, its prefix, and the programs it
    runs (the simulated one, the sheet probe, the one for real cards)."""

    def __init__(self, name, loader, arch, sim, probe, prefix, server="wineserver", emulated=False):
        self.name, self.loader, self.sim, self.probe_exe, self.emulated = name, loader, sim, probe, emulated
        self.prefix, self.server = prefix, server
        # Quiet but for the loader's errors, the first of which says why a
        # program did not start; under emulation also whether it was loaded.
        debug = "-all,err+module" + (",+loaddll" if emulated else "")
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("TARN_SIM_")}
        # No browser or .NET runtime engine: the programs need neither, and
        # Wine would otherwise offer to install them.
        self.env.update(WINEPREFIX=str(self.prefix), WINEARCH=arch, WINELOADER=loader, WINEDEBUG=debug,
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.why_ended = emulation_error if emulated else \
            lambda log, status=None: first_error(log) or "no message from Wine"

    def run(self, seconds, what, *args, env=None, log=None):
        with open(log or os.devnull, "w") as file:
            return bounded(seconds, what, [self.loader, *map(str, args)], env={**self.env, **(env or {})},
                           stderr=file)

    def idle(self, after):
        bounded(120, f"wineserver -w (Wine's processes to end) after {after}", [self.server, "-w"], env=self.env)

    def setting(self, key, name, data=None, kind="REG_SZ"):
        """Sets (or with no DATA deletes) a value in the prefix's registry."""
        change = ["add", key, "/v", name, "/t", kind, "/d", str(data), "/f"] if data is not None else \
            ["delete", key, "/v", name, "/f"]
        log = OUT / f"{self.name}-reg-{name}.log"
        ran = self.run(120, f"wine reg {change[0]} {name}", "reg", *change, log=log)
        if data is not None and ran.code != 0:
            pytest.fail(f"{self.name}: setting {name} in Wine's registry: {self.why_ended(log)}")
        self.idle(f"the setting {name}")

    def boot(self):
        """A fresh prefix in which Wine draws each window's frame and caption
        itself, as Windows does: the virtual display has no window manager,
        and screenshots then show whole windows. The caption's buttons are
        glyphs of Wine's Marlett font, which this Wine does not find in its
        own folder: the prefix's font folder gets it (fonts-wine), and only
        it: with Wine's Tahoma there too, the sheet would size its pages in
        Tahoma while they lay out in MS Sans Serif, a pairing no Windows has.
        (The i386 folder's prefix is made so once, by x86-emulated.sh.)"""
        log = OUT / f"{self.name}-wineboot.log"
        if self.run(300, "wineboot (a fresh Wine prefix)", "wineboot", "-i", log=log).code != 0:
            pytest.fail(f"{self.name}: Wine cannot start: {self.why_ended(log)}")
        self.idle("wineboot")
        self.setting(r"HKCU\Software\Wine\X11 Driver", "Decorated", "N")
        marlett = Path("/usr/share/wine/fonts/marlett.ttf")
        assert marlett.exists(), "Wine's Marlett font for the prefix (fonts-wine): not in /usr/share/wine/fonts"
        font = self.prefix / "drive_c/windows/Fonts/marlett.ttf"
        font.unlink(missing_ok=True)
        font.symlink_to(marlett)

    def shut(self):
        bounded(30, "wineserver -k (Wine's processes stopped)", [self.server, "-k"], env=self.env, tearing_down=True)

    def probe(self, *args):
        return bounded(120, f"the sheet probe ({' '.join(map(str, args[:2]))})",
                       [self.loader, str(self.probe_exe), *map(str, args)], env=self.env)

    def start(self, label, cards, trace=None, exe=None, window=CAPTION, **settings):
        """Starts a program (the simulated one unless EXE) and waits for its
        window; a program Wine cannot start fails at once, saying why. Under
        emulation, a start that failed before the program was loaded (qemu or
        Wine gave up) is tried once more, and the retry noted; a program that
        was loaded and then failed is never tried again."""
        for attempt in (1, 2):
            app = App(self, label if attempt == 1 else f"{label}-retry", exe or self.sim, cards, trace, settings)
            try:
                return app.wait_window(window, 60)
            except pytest.fail.Exception as failure:
                stop(app.process)
                if attempt == 2 or not self.emulated or EMULATION_FAILED not in str(failure):
                    raise
                self.shut()
                retries.append(f"{app.label}: {failure}")
                note(f"{app.label}: retried once: {failure}")
            except BaseException:
                stop(app.process)
                raise


def fields(report):
    """The probe's "name: value" lines as a dictionary."""
    return dict(line.split(": ", 1) for line in report.splitlines() if ": " in line)


class App:
    """One run of a program under Wine; stopped at the test's end at the
    latest, and after 900 s whatever happens."""

    def __init__(self, wine, label, exe, cards, trace, settings):
        self.wine, self.label = wine, f"{wine.name} {label}"
        self.log = OUT / f"{wine.name}-{label}-stderr.txt"
        env = {**wine.env, "TARN_SIM_CARDS": cards, **settings}
        if trace:
            env["TARN_SIM_TRACE"] = str(trace)
        with open(OUT / f"{wine.name}-{label}-stdout.txt", "w") as out, open(self.log, "w") as err:
            self.process = subprocess.Popen(["timeout", "-k", "5", "900", wine.loader, str(exe)], env=env,
                                            stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                            start_new_session=True)

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        stop(self.process)

    def running(self):
        return self.process.poll() is None

    def why(self):
        # qemu's report of a crash can reach the log after the launcher has
        # ended (seen twice in 30 runs): it decides whether to try again.
        if self.wine.emulated:
            time.sleep(2)
        return self.wine.why_ended(self.log, self.process.returncode)

    def wait_window(self, title, seconds=30):
        wait_until(seconds, f"the window \"{title}\" ({self.label})", lambda: window(title), app=self)
        return self

    def sheet(self):
        return fields(self.wine.probe("sheet", CAPTION).out)

    def page(self, index):
        """Page INDEX's lines: revision, status, progress, interface, button."""
        report = self.sheet()
        return {name: report.get(f"page {index} {name}") for name in
                ("revision", "status", "progress", "interface", "button")}

    def tabs(self):
        report = self.sheet()
        return [report.get(f"tab {i}") for i in range(int(report["tabs"]))]

    def expect(self, index, revision, status, interface):
        """Page INDEX as it first shows: revision, verdict, interface choice."""
        self.select(index)
        assert self.page(index) == {"revision": f"{revision}\\n", "status": status, "progress": "0 (msctls_progress32)",
                                    "interface": interface, "button": "Update"}, f"{self.label}: card {index + 1}"

    def select(self, index):
        self.wine.probe("select", CAPTION, index)
        wait_until(10, f"page {index} shown", lambda: f"page {index} status" in self.sheet(), app=self)

    def point(self, page, ident, title=CAPTION):
        ran = self.wine.probe("point", title, page, ident)
        assert ran.code == 0, f"{self.label}: the sheet probe finds no control {ident} on page {page} of \"{title}\""
        return ran.out.split()

    def click(self, page, ident, title=CAPTION):
        self.click_at(self.point(page, ident, title))

    def click_at(self, point):
        xdotool("mousemove", *point, "click", "1")

    def text(self, title):
        """The first text of a window's static controls."""
        return fields(self.wine.probe("texts", title).out).get("text")

    def mark(self, page, ident, what, value):
        """Overwrites a control of a page (settext or setpos), so that only a
        new update can bring back what an update shows."""
        assert self.wine.probe(what, CAPTION, page, ident, value).code == 0, f"{self.label}: marking control {ident}"

    def verdict(self, page):
        """Waits for "Success" or "Failed" on the page, slowly: each probe is
        a Wine process of its own, which an update should not compete with."""
        wait_until(300, f"the update on card {page + 1} to end",
                   lambda: self.page(page)["status"] in ("Success", "Failed"), every=1.5, app=self)
        return self.page(page)

    def dismiss(self, title):
        """A message's OK button, or Return should the probe not find it."""
        ran = self.wine.probe("point", title, -1, 1)
        self.click_at(ran.out.split()) if ran.code == 0 else xdotool("key", "Return")
        assert gone(title, 10), f"{self.label}: the message \"{title}\" closes"

    def end(self, *unwanted, seconds=30):
        """The program's exit code, once it has ended. No window titled as
        one of UNWANTED may show meanwhile."""
        seen = set()

        def ended():
            seen.update(title for title in unwanted if window(title))
            return seen or not self.running()
        wait_until(seconds, f"the program to end ({self.label})", ended, every=0.1)
        assert not seen, f"{self.label}: {' and '.join(sorted(seen))} showed"
        return self.process.returncode

    def shoot(self, name, what, title=CAPTION):
        return shoot(self.wine.name, name, what, title)


screenshots = []  # (file name, what it shows), for the closing note
retries = []  # starts tried again after the emulation failed, with the cause
notes = []  # lines for the closing note, each printed as it comes too


def note(line):
    print(line)
    notes.append(line)


def shoot(mode, name, what, title=CAPTION):
    """A screenshot of one window; a picture of one flat colour fails."""
    file = SHOTS / f"{mode}-{name}.png"
    ran = bounded(30, f"a screenshot of {what}", ["import", "-window", window(title) or "root", str(file)])
    assert ran.code == 0 and file.exists(), f"{mode}: screenshot {name}"
    assert colours(file) > 1, f"{mode}: screenshot {name} is one flat colour, not a picture of {what}"
    screenshots.append((file.name, what))
    return file


def differences(expected, actual, shown=3):
    """The first lines in which the trace ACTUAL differs from EXPECTED."""
    if bounded(300, f"cmp {actual.name} {expected.name}", ["cmp", "-s", str(expected), str(actual)]).code == 0:
        return []
    found = []
    with open(expected, encoding="latin-1") as want, open(actual, encoding="latin-1") as got:
        for number, pair in enumerate(itertools.zip_longest(want, got, fillvalue="(past the end)"), 1):
            want_line, got_line = (line.rstrip("\r\n") for line in pair)
            if want_line != got_line:
                found.append(f"line {number}: {got_line!r}, not {want_line!r}")
                if len(found) == shown:
                    break
    return found


def build(preset, *targets, env=None):
    """Configures and builds PRESET (only TARGETS when named); the log is
    build-PRESET.log."""
    log = OUT / f"build-{preset}.log"
    with open(log, "w") as file:
        for step in (["cmake", "--preset", preset],
                     ["cmake", "--build", "--preset", preset, "-j2", *(["--target", *targets] if targets else [])]):
            if bounded(1200, " ".join(step), step, env={**os.environ, **(env or {})}, stdout=file,
                       stderr=subprocess.STDOUT).code != 0:
                return False, "".join(log.read_text().splitlines(True)[-30:])
    return True, ""


def remove(*paths):
    for path in paths:
        shutil.rmtree(path, ignore_errors=True) if path.is_dir() else path.unlink(missing_ok=True)
