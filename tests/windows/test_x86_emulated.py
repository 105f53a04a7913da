"""The 32-bit modes' own tests (32-bit Wine from the private i386 folder,
native in x86, under qemu-i386 in x86-emulated): only what a 32-bit run can
show. The sheet read back by the 32-bit probe, updates of both kinds and the
exit after the power-off message, untraced, also with the imports that
Windows 98 has only as failing stubs failing. On request, the same presses
traced and compared line for line with the 64-bit program's trace: a traced
update under emulation takes minutes (the program writes millions of trace
lines)."""
import re
import time

import pytest

import harness
from harness import HIDDEN, MESSAGE, OUT, POWER_OFF, SHOWN

pytestmark = pytest.mark.modes("x86", "x86-emulated")


def test_x86_emulated_setup(wine):
    """The set-up leaves the system's architectures and i386 packages (none) as they were."""
    before, after = wine.setup
    assert after == before, "the system's foreign architectures and i386 packages changed in the set-up"


@pytest.mark.modes("x86-emulated")
def test_failure_words(wine):
    """qemu crashing before the program is loaded (here an emulated 486,
    which lacks instructions Debian's i386 libraries use) is told as the
    emulation's failure, not the program's, and tried once more, noted."""
    broken = OUT / "x86-emulated-broken-qemu"
    broken.write_text(re.sub(r"-B 0x[0-9a-f]*", r"\g<0> -cpu 486", open(wine.loader).read()))
    broken.chmod(0o755)
    crashing = harness.Wine(wine.name, str(broken), "win32", wine.sim, wine.probe_exe, wine.prefix, wine.server,
                            emulated=True)
    retried = len(harness.retries)
    with pytest.raises(pytest.fail.Exception, match=re.escape(harness.EMULATION_FAILED) + " before the program started "
                                                    r"\(qemu or 32-bit Wine\): qemu: "):
        crashing.start("broken-emulator", "100")
    crashing.shut()
    new = harness.retries[retried:]
    assert len(new) == 1 and "broken-emulator" in new[0], f"one retry of the broken emulator noted, not {new}"
    del harness.retries[retried:]  # the check's own retry, not one of the run's


LOADED = 'trace:loaddll:build_module Loaded L"Z:\\\\build\\\\tarn-flash-update.exe" at 00400000: native\n'
QEMU_ENDED = "qemu: uncaught target signal 11 (Segmentation fault) - core dumped\n"


@pytest.mark.parametrize("log, status, words", [
    (QEMU_ENDED, 139, "the emulation failed before the program started"),
    (LOADED + QEMU_ENDED, 139, "the emulation failed after the program was loaded"),
    (LOADED, -11, "the emulation failed after the program was loaded"),  # qemu's message not yet written
    (LOADED, 1, "the program was loaded, then ended"),
    (LOADED + "wine: Unhandled page fault on read access to 00000000\n" + QEMU_ENDED, 139,
     "the program was loaded, then ended: wine: Unhandled page fault"),
    (LOADED + "err:module:import_dll Library tarn-no-such.dll not found\n", 1,
     "the program was loaded, then ended: err:"),
], ids=["not-loaded", "loaded-then-ended-by-qemu", "loaded-then-killed", "loaded-then-ended", "loaded-then-faulted",
        "loaded-then-missing-dll"])
def test_failure_words_of_a_log(tmp_path, log, status, words):
    """Which failures are the emulation's (tried once more) and which the
    program's (never): a fault of the program is one Wine reports."""
    (tmp_path / "stderr.txt").write_text(log)
    assert harness.emulation_error(tmp_path / "stderr.txt", status).startswith(words)


def presses(wine, label, trace=None, exe=None):
    """The same cards and presses in either mode: two cards read back, an
    older card's chain update after choosing PCI, a newer card's flash
    update, OK, the power-off message. Flash erases take no time, so that no
    trace holds a count of status polls that depends on the machine's speed."""
    with wine.start(label, "14:pci,100", trace, exe, TARN_SIM_ERASE_MS="0") as app:
        assert app.tabs() == ["Card 1", "Card 2"]
        app.expect(1, 100, "Not updated", HIDDEN)
        app.expect(0, 14, "Not updated", SHOWN)
        app.click(0, 1010)
        time.sleep(0.3)
        app.click(0, 1)
        assert app.verdict(0)["status"] == "Success", "card 1 (revision 14) after the chain update"
        app.select(1)
        app.click(1, 1)
        assert app.verdict(1)["status"] == "Success", "card 2 (revision 100) after the flash update"
        app.shoot(f"{label}-success", f"the sheet after both updates ({label}): Success")
        app.click(-1, 1)
        app.wait_window(MESSAGE, 60)
        assert app.text(MESSAGE) == POWER_OFF
        app.dismiss(MESSAGE)
        assert app.end() == 0


def test_sheet_updates(wine):
    presses(wine, "sheet-updates")


def test_win98_stubs(wine, sim_98_stubs):
    """As on Windows 98, where CreateSemaphoreW, GetModuleHandleW and
    LoadLibraryW are stubs that fail: a test build whose three imports fail
    so (win98_stubs.c; its build fails should it import them after all), run
    with Wine as Windows 98, shows its sheet, updates and exits 0."""
    wine.setting(r"HKCU\Software\Wine", "Version", "win98")
    try:
        presses(wine, "win98-stubs", exe=sim_98_stubs)
    finally:
        wine.setting(r"HKCU\Software\Wine", "Version")


@pytest.mark.on_request
@pytest.mark.timeout(3600)
def test_compare_traces(wine, modes):
    """The 32-bit program's trace against the 64-bit program's, line for
    line: a 32-bit-only fault in what the program does to the cards shows."""
    ours, theirs = OUT / f"{wine.name}-compare-trace.txt", OUT / "x64-compare-trace.txt"
    presses(wine, "compare", ours)
    presses(modes("x64"), "compare", theirs)
    assert ours.stat().st_size > 0 and theirs.stat().st_size > 0, "both programs write a trace"
    assert harness.differences(theirs, ours) == []
