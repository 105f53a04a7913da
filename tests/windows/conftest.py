"""The Windows program's tests: which Wine modes run (choose_modes; the
table in README.md says what each runs), how Wine starts in each (make_wine),
and the fixtures the tests share: the virtual display, the builds, the
made-up firmware folder and the programs built from it, Wine in each mode.

    TARN_WINE_MODE=auto|x64|x86|x86-emulated /usr/bin/python3 -m pytest tests/windows
"""
import os
import select
import shutil
import signal
import subprocess
import time

import pytest

import harness
from harness import OUT, PROBE, PROGRAM, ROOT, SHOTS

MODES = ("x64", "x86", "x86-emulated")
# The Windows versions each mode runs the programs as.
VERSIONS = {"x64": ("win98", "winxp", "win10"), "x86": ("win98", "winxp", "win10"),
            "x86-emulated": ("win98", "winxp")}
# The private i386 Wine folder's set-up: both 32-bit modes run its Wine.
X86_FOLDER = ROOT / "tests/windows/x86-emulated.sh"

chosen = []  # the modes this run's Wine tests run in
started = time.monotonic()


def runs_x86():
    """'' when this machine executes 32-bit x86 programs, else why not (some
    kernels are built without 32-bit support; no 32-bit Wine starts there)."""
    ran = subprocess.run(["bash", str(X86_FOLDER), "runs-x86"], capture_output=True, text=True, timeout=30)
    return "" if ran.returncode == 0 else ran.stdout.strip() or f"exit status {ran.returncode}"


# Why auto runs no 32-bit program on a machine that cannot run 32-bit code.
AUTO_LEAVES_OUT = ("x86-emulated is left out of auto, as 29 of 34 runs passed on a loaded machine; "
                   "TARN_WINE_MODE=x86-emulated runs it")


def choose_modes(setting, x86_reason):
    """The modes TARN_WINE_MODE asks for: auto is x64 and, where this machine
    runs 32-bit code, the 32-bit program people run under 32-bit Wine natively.
    Elsewhere auto leaves the emulated mode out (AUTO_LEAVES_OUT): it fails
    too often still for a run whose failure stops a submission."""
    if setting == "auto":
        return ["x64"] + ([] if x86_reason else ["x86"])
    if setting not in MODES:
        raise pytest.UsageError(f"TARN_WINE_MODE={setting}: expected auto, x64, x86 or x86-emulated")
    if setting == "x86" and x86_reason:
        raise pytest.UsageError(f"TARN_WINE_MODE=x86, but this machine cannot execute 32-bit x86 programs "
                                f"({x86_reason}): use x64, x86-emulated or auto")
    return [setting]


def install(modes, log):
    """Installs what MODES need and is missing (tests/windows/install-tools.sh);
    '' on success, else the first error."""
    with open(log, "w") as file:
        code = subprocess.run(["bash", str(ROOT / "tests/windows/install-tools.sh"), *modes],
                              stdin=subprocess.DEVNULL, stdout=file, stderr=subprocess.STDOUT).returncode
    lines = log.read_text().splitlines()
    print("\n".join(line for line in lines if line.startswith("install:")))
    return "" if code == 0 else next((l for l in lines if l.startswith(("E:", "error:"))), f"exit status {code}")


def stopped(*_):
    raise KeyboardInterrupt


def pytest_configure(config):
    # Stopped from outside, the run still tears down: the programs for real
    # cards and their firmware folder never outlive it.
    signal.signal(signal.SIGTERM, stopped)
    harness.remove(OUT)
    SHOTS.mkdir(parents=True)
    setting = os.environ.get("TARN_WINE_MODE", "auto")
    x86_reason = runs_x86()
    chosen[:] = choose_modes(setting, x86_reason)
    print(f"=== windows: 32-bit x86 programs run on this machine: {'no (' + x86_reason + ')' if x86_reason else 'yes'}"
          f"; Wine modes: {' '.join(chosen)} (TARN_WINE_MODE={setting})")
    if setting == "auto" and x86_reason:
        print(f"=== windows: the 32-bit programs are checked, not run: {AUTO_LEAVES_OUT}")
    error = install(chosen, OUT / "install.log")
    if error:
        raise pytest.UsageError(f"installing the tools: {error} (log: {OUT / 'install.log'})")


def mode_of(item):
    spec = getattr(item, "callspec", None)
    return spec.params.get("wine") if spec else None


def pytest_generate_tests(metafunc):
    """Each Wine test once per chosen mode it is meant for (the modes marker;
    without it x64 and x86), as test_NAME[MODE] or test_NAME[MODE-VERSION]."""
    if "wine" not in metafunc.fixturenames:
        return
    marker = metafunc.definition.get_closest_marker("modes")
    modes = [mode for mode in chosen if mode in (marker.args if marker else ("x64", "x86"))]
    if "version" in metafunc.fixturenames:
        pairs = [(mode, version) for mode in modes for version in VERSIONS[mode]]
        metafunc.parametrize("wine,version", pairs, indirect=["wine"], ids=[f"{m}-{v}" for m, v in pairs])
    else:
        metafunc.parametrize("wine", modes, indirect=True)


def pytest_collection_modifyitems(config, items):
    """Leaves out what this run's modes do not run, the on-request tests not
    asked for, and applies TARN_WINE_SCENARIOS; runs the tests mode by mode."""
    asked = (config.option.keyword or "") + " " + (config.option.markexpr or "")
    scenarios = os.environ.get("TARN_WINE_SCENARIOS", "").split()
    unknown = [name for name in scenarios
               if not any(item.originalname.startswith(f"test_{name}") for item in items)]
    if unknown:
        raise pytest.UsageError(f"TARN_WINE_SCENARIOS: no test is named {', '.join(unknown)}")
    kept, dropped = [], []
    for item in items:
        marker = item.get_closest_marker("modes")
        name = item.originalname[len("test_"):]
        left_out = ("wine" in item.fixturenames and mode_of(item) not in chosen  # no chosen mode runs it
                    or "wine" not in item.fixturenames and marker and not set(marker.args) & set(chosen)
                    or scenarios and not any(name.startswith(s) for s in scenarios)
                    or item.get_closest_marker("on_request") and name not in asked and name not in scenarios)
        (dropped if left_out else kept).append(item)
    config.hook.pytest_deselected(items=dropped)
    items[:] = sorted(kept, key=lambda item: MODES.index(mode_of(item)) + 1 if mode_of(item) else 0)


def pytest_runtest_teardown(item):
    if harness.limit_reached:
        item.session.shouldstop = f"the Windows part reached its limit of {harness.WHOLE_LIMIT} s"


def pytest_terminal_summary(terminalreporter):
    write = terminalreporter.write_line
    write("--- closing note")
    for line in "\n".join(harness.notes).splitlines():
        write(f"  {line}")
    if harness.screenshots:
        write(f"  screenshots in {SHOTS}:")
        for name, what in harness.screenshots:
            write(f"    {name}: {what}")
    if "x86-emulated" in chosen:
        write(f"  emulation retries: {len(harness.retries)}")
        for retry in harness.retries:
            write(f"    {retry}")
    write(f"windows part took {round(time.monotonic() - started)} s")


class Once:
    """What is made once per run and shared (builds, prefixes). A failure
    fails the first test that needs the thing and skips the later ones,
    naming the first: every failure is counted once."""

    def __init__(self):
        self.made, self.failed, self.cleanups = {}, {}, []

    def get(self, key, make, request):
        if key in self.failed:
            pytest.skip(f"{key} failed in {self.failed[key]}")
        if key not in self.made:
            try:
                self.made[key] = make()
            except (Exception, pytest.fail.Exception):
                self.failed[key] = request.node.nodeid
                raise
        return self.made[key]


@pytest.fixture(scope="session")
def once():
    made = Once()
    yield made
    # Each, whatever the others do: a Wine that will not stop must not keep
    # the programs for real cards from being deleted.
    failures = []
    for cleanup in reversed(made.cleanups):
        try:
            cleanup()
        except (Exception, pytest.fail.Exception) as failure:
            failures.append(failure)
    assert not failures, f"tearing down: {failures}"


def built(once, request, preset, *targets, env=None):
    """The build folder of PRESET, built once (only TARGETS when named)."""
    def make():
        ok, tail = harness.build(preset, *targets, env=env)
        assert ok, f"{preset} builds:\n{tail}"
        return ROOT / "build" / preset
    return once.get(" ".join((preset, *targets)), make, request)


@pytest.fixture
def sim_x86(once, request):
    return built(once, request, "windows-sim", "tarn-flash-update") / PROGRAM


@pytest.fixture
def sim_98_stubs(once, request):
    """The simulated program with the imports that Windows 98 has only as
    failing stubs failing (win98_stubs.c)."""
    folder = built(once, request, "windows-sim", "tarn-flash-update-98-stubs")
    return folder / "tests/windows/tarn-flash-update-98-stubs.exe"


@pytest.fixture
def sim_x64(once, request):
    return built(once, request, "windows-sim-x64") / PROGRAM


@pytest.fixture
def firmware(once, request):
    """Six files the firmware check accepts that are no card's firmware. The
    programs for real cards made from them are copied out for the tests and
    deleted, with the folder, when the run ends, whatever happens: firmware
    that is not the card's never leaves this run inside a program."""
    def make():
        folder = OUT / "test-firmware"
        once.cleanups.append(lambda: harness.remove(
            folder, *OUT.glob("hardware-*.exe"),
            *(ROOT / "build" / preset / PROGRAM for preset in ("windows-hardware", "windows-hardware-x64"))))
        harness.bounded(120, "the made-up firmware folder",
                        ["/usr/bin/python3", str(ROOT / "tests/windows/make-test-firmware.py"), str(folder)])
        return folder
    return once.get("the made-up firmware folder", make, request)


def hardware_program(once, request, firmware, preset, name):
    def make():
        built(once, request, preset, env={"TARN_FIRMWARE_DIR": str(firmware)})
        (ROOT / "build" / preset / PROGRAM).rename(OUT / name)
        return OUT / name
    return once.get(name, make, request)


@pytest.fixture
def hardware_x86(once, request, firmware):
    return hardware_program(once, request, firmware, "windows-hardware", "hardware-x86.exe")


@pytest.fixture
def hardware_x64(once, request, firmware):
    return hardware_program(once, request, firmware, "windows-hardware-x64", "hardware-x64.exe")


@pytest.fixture
def display(once, request):
    """One virtual display. Xvfb picks a free display number itself and
    writes it once it takes clients (-displayfd): runs beside other users of
    this machine cannot take the same number, and a display that does not
    answer fails at once. DISPLAY is set for every program this run starts."""
    def make():
        reader, writer = os.pipe()
        with open(OUT / "xvfb.log", "w") as log:
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(writer), "-screen", "0", "1024x768x24", "-nolisten",
                                     "tcp"], pass_fds=[writer], stdout=log, stderr=log, start_new_session=True)
        os.close(writer)
        once.cleanups.append(lambda: harness.stop(xvfb))
        # The number, then a newline, in two writes: read to the newline,
        # or Xvfb fails writing the second.
        number, end = b"", time.monotonic() + 10
        while not number.endswith(b"\n") and select.select([reader], [], [], max(0, end - time.monotonic()))[0]:
            number += os.read(reader, 16) or b"\n"
        os.close(reader)
        os.environ["DISPLAY"] = ":" + number.decode().strip()
        assert os.environ["DISPLAY"] != ":" and harness.xdotool("getdisplaygeometry").code == 0, \
            f"the virtual display did not start within 10 s: {harness.first_error(OUT / 'xvfb.log')}"
        return os.environ["DISPLAY"]
    return once.get("the virtual display", make, request)


def system_architectures():
    """The system's foreign architectures and its count of i386 packages."""
    foreign = harness.bounded(60, "dpkg's architectures", ["dpkg", "--print-foreign-architectures"]).out.split()
    packages = harness.bounded(60, "dpkg's packages", ["dpkg-query", "-W", "-f", "${Architecture}\n"]).out
    return f"{' '.join(foreign)}; {packages.split().count('i386')} i386 packages"


def folder_wine(name, prefix):
    """The settings of 32-bit Wine from the private i386 folder, native (x86)
    or under qemu-i386 (x86-emulated), with PREFIX a fresh copy of the
    folder's booted prefix (tests/windows/x86-emulated.sh run-env), and what
    the set-up left as it was."""
    how = "native" if name == "x86" else "emulated"
    log, before, t0 = OUT / f"{name}-setup.log", system_architectures(), time.monotonic()
    with open(OUT / f"{name}-setup-lines.txt", "w") as lines:
        ran = harness.bounded(1800, "the i386 Wine folder and a copy of its prefix (x86-emulated.sh run-env)",
                              ["bash", str(X86_FOLDER), "run-env", str(prefix), how, str(log)], stderr=lines)
    settings = dict(line.split("=", 1) for line in ran.out.splitlines() if "=" in line)
    assert ran.code == 0 and settings.get("TARN_X86_WINE") == how, \
        f"{name}: the i386 Wine folder and its prefix: {(OUT / f'{name}-setup-lines.txt').read_text()} (log: {log})"
    for line in (OUT / f"{name}-setup-lines.txt").read_text().splitlines():
        harness.note(line)
    harness.note(f"{name}: 32-bit Wine {how} from the private folder, a copy of its prefix ready in "
                 f"{round(time.monotonic() - t0)} s")
    return settings, (before, system_architectures())


def make_wine(name, once, request):
    """Wine in mode NAME with a fresh prefix, stopped when the run ends. The
    32-bit modes start from a copy of a prefix booted once (no run boots
    Wine); x64 boots its own."""
    prefix = OUT / f"wineprefix-{name}"
    if name == "x64":
        folder = built(once, request, "windows-sim-x64")
        settings, setup = {"WINELOADER": shutil.which("/usr/lib/wine/wine64") or shutil.which("wine64")}, None
        assert settings["WINELOADER"], f"{name}: no Wine loader for this mode is installed"
    else:
        folder = built(once, request, "windows-sim", "tarn-flash-update", "tarn-sheet-probe")
        settings, setup = folder_wine(name, prefix)
    wine = harness.Wine(name, settings["WINELOADER"], "win64" if name == "x64" else "win32", folder / PROGRAM,
                        folder / PROBE, prefix, settings.get("WINESERVER", "wineserver"),
                        emulated=name == "x86-emulated")
    wine.setup = setup
    once.cleanups.append(wine.shut)
    if name == "x64":
        t0 = time.monotonic()
        wine.boot()
        harness.note(f"{name}: Wine starts ({round(time.monotonic() - t0)} s for wineboot)")
    return wine


@pytest.fixture
def modes(once, request, display):
    """Wine in any mode by name, made once per run."""
    return lambda name: once.get(f"the {name} mode", lambda: make_wine(name, once, request), request)


@pytest.fixture
def wine(request, modes):
    """Wine in the test's mode (its parameter)."""
    return modes(request.param)


@pytest.fixture
def hardware(wine, request):
    """The program for real cards that WINE runs."""
    return request.getfixturevalue("hardware_x64" if wine.name == "x64" else "hardware_x86")
