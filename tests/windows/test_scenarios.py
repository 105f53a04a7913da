"""The simulated program under Wine on the virtual display, driven as a
person would with xdotool and read back through the sheet probe; one test
per scenario, in each Wine mode (conftest.py)."""
import re
import time

import pytest

import harness
from conftest import MODES
from harness import BAR_FULL, CAPTION, CHOICE, HIDDEN, MESSAGE, OUT, POWER_OFF, SHOWN, bounded, xdotool


@pytest.fixture
def trace(wine, request):
    """This test's access trace, written by the simulated driver."""
    return OUT / f"{wine.name}-{request.node.originalname[len('test_'):]}-trace.txt"


def grep(trace, pattern, *options):
    """The matching lines of a trace: grep's, as a trace holds millions of lines."""
    return bounded(120, f"grep {pattern} in {trace.name}", ["grep", *options, "-E", pattern, str(trace)]).out


def last(trace, pattern):
    return bounded(120, f"the last {pattern} in {trace.name}",
                   ["sh", "-c", 'tac "$1" | grep -m1 -E "$2"', "last", str(trace), pattern]).out.strip()


def count(trace, pattern):
    return int(grep(trace, pattern, "-c") or 0)


@pytest.mark.modes(*MODES)
def test_fail_fast(wine):
    """A program Wine cannot load (it imports a DLL that does not exist)
    fails within seconds with Wine's error, not after the wait for a window."""
    arch, folder = "x86_64" if wine.name == "x64" else "i686", OUT / f"{wine.name}-no-such-dll"
    folder.mkdir()
    (folder / "no-such.def").write_text("LIBRARY tarn-no-such.dll\nEXPORTS\nnoSuchFunction\n")
    (folder / "main.c").write_text("void noSuchFunction(void);\nint main(void) { noSuchFunction(); return 0; }\n")
    for step in ([f"{arch}-w64-mingw32-dlltool", "-d", "no-such.def", "-l", "libno-such.a"],
                 [f"{arch}-w64-mingw32-gcc-win32", "-o", "no-such-dll.exe", "main.c", "libno-such.a"]):
        assert bounded(120, step[0], step, cwd=folder).code == 0, f"building the program Wine cannot load: {step}"
    t0 = time.monotonic()
    with pytest.raises(pytest.fail.Exception,
                       match=r"program ended unexpectedly \(exit status \d+\): .*tarn-no-such\.dll") as failure:
        wine.start("fail-fast", "100", exe=folder / "no-such-dll.exe")
    assert time.monotonic() - t0 < 30, "a program Wine cannot load should fail at once"
    assert not [retry for retry in harness.retries if "fail-fast" in retry], "a loaded program is tried once only"
    print(f"fails at once ({time.monotonic() - t0:.0f} s), saying why: {failure.value}")


def test_three_cards(wine, trace):
    """Pages, the interface question, an update to "Success" by click and
    again by Space, the power-off message, the trace."""
    with wine.start("three-cards", "14:pci,100,152", trace) as app:
        assert (app.tabs(), app.sheet()["selected"]) == (["Card 1", "Card 2", "Card 3"], "0")
        app.shoot("01-sheet-card1", "the sheet, three tabs, card 1 (revision 14, Not updated, Interface shown)")
        app.expect(0, 14, "Not updated", SHOWN)
        app.expect(2, 152, "Up-to-date", HIDDEN)
        app.shoot("02-sheet-card3", "card 3 (revision 152, Up-to-date, no Interface group)")
        # An older card with no interface chosen: the page asks for one and updates nothing.
        app.select(0)
        time.sleep(0.3)
        app.click(0, 1)
        app.wait_window(CHOICE)
        assert app.text(CHOICE) == "Please select your interface type (PCI/CardBus)"
        app.shoot("03-card1-choose-interface", "the message asking for the interface type", CHOICE)
        app.dismiss(CHOICE)
        assert app.page(0)["status"] == "Not updated"
        app.expect(1, 100, "Not updated", HIDDEN)
        started = time.monotonic()
        app.click(1, 1)
        # The page paints its status line and bar as it goes (the probe
        # cannot ask now: the page's thread is busy with the update).
        time.sleep(1.5)
        app.shoot("04-card2-updating", "card 2 during its flash update")
        assert (app.verdict(1)["status"], app.page(1)["progress"]) == ("Success", BAR_FULL)
        harness.note(f"{wine.name}: flash update on card 2 took {(time.monotonic() - started) * 1000:.0f} ms under "
                     "Wine, trace on (click to verdict)")
        app.shoot("05-card2-success", "card 2 after the update: Success, bar at 100")
        # Space on the focused button runs it again. The status line and the
        # bar are marked first, so only a new update can bring back both.
        app.mark(1, 1002, "settext", "marked by the test")
        app.mark(1, 1009, "setpos", 7)
        assert app.page(1)["status"] == "marked by the test"
        xdotool("key", "space")
        assert (app.verdict(1)["status"], app.page(1)["progress"]) == ("Success", BAR_FULL)
        app.click(-1, 1)
        app.wait_window(MESSAGE)
        assert app.text(MESSAGE) == POWER_OFF
        app.shoot("06-power-off-message", "the power-off message after the sheet closed", MESSAGE)
        assert not harness.window(CAPTION), "the sheet is gone when the message shows"
        app.dismiss(MESSAGE)
        assert app.end() == 0
    # The program's own trace: two updates, each going to 100, through the card's registers.
    assert count(trace, "\r") == 0, "trace lines end in a bare newline, as on Linux"
    assert (count(trace, r"^P 100$"), last(trace, "^P "), count(trace, r"^[WR] ") > 0) == (2, "P 100", True)


def test_six_cards(wine):
    """Six cards, closed without an update: six tabs, no message. The cards
    keep their state in a file, which the second start replaces on Windows'
    terms."""
    cards, state = "20,60,110,152,14:cardbus,53", OUT / f"{wine.name}-six-cards.state"
    with wine.start("six-cards", cards, TARN_SIM_STATE=str(state)) as app:
        assert app.tabs() == [f"Card {n}" for n in range(1, 7)]
        app.expect(5, 53, "Up-to-date", SHOWN)
        app.shoot("07-six-cards", "six tabs, card 6 (revision 53, Up-to-date)")
        app.click(-1, 2)
        assert app.end(MESSAGE) == 0, "no power-off message without an update"
    assert state.stat().st_size > 0, "the cards' state is saved"
    # Again, over the state file now there: it must be replaced, not refused.
    with wine.start("six-cards-again", cards, TARN_SIM_STATE=str(state)) as app:
        app.click(-1, 2)
        assert app.end() == 0
    assert list(OUT.glob(state.name + "*")) == [state], "the state file replaced, no file left beside it"
    assert app.log.read_text().replace("\r", "") == "", "nothing said about the state"


def test_older_card(wine, trace):
    """An older card through its JTAG chain: choose PCI, update."""
    with wine.start("older-card", "14:pci", trace) as app:
        app.click(0, 1010)
        time.sleep(0.3)
        app.click(0, 1)
        time.sleep(2)
        app.shoot("08-jtag-updating", "the older card during its chain update")
        assert (app.verdict(0)["status"], app.page(0)["progress"]) == ("Success", BAR_FULL)
        app.shoot("09-jtag-success", "the older card after the chain update: Success, bar at 100")
        app.click(-1, 1)
        app.wait_window(MESSAGE)
        app.dismiss(MESSAGE)
        assert app.end() == 0
    # The play ends by handing the chain back: the last port write is 16.
    assert last(trace, "^W 0100 ") == "W 0100 00000010"


def test_busy_sheet_update(wine, trace):
    """Update clicked again, and Space and Enter, while an update runs: none
    may start a second update."""
    with wine.start("busy-update", "100,152", trace) as app:
        # Found before the update: the page cannot answer the probe while it runs.
        point = app.point(0, 1)
        app.click_at(point)
        time.sleep(0.3)
        early = app.page(0)["status"]
        app.click_at(point)
        xdotool("key", "space", "Return")
        app.shoot("11-busy-update-clicked-again",
                  "the sheet after Update clicked again, Space and Enter during an update")
        assert app.verdict(0)["status"] == "Success"
        # Anything replayed would start a second update now: give it the time
        # to show, then look at the status line and the trace.
        app.mark(0, 1002, "settext", "marked by the test")
        time.sleep(3)
        assert app.page(0)["status"] == "marked by the test", "a second update after the first"
        assert harness.window(CAPTION), "the sheet stays open"
        app.click(-1, 1)
        app.wait_window(MESSAGE)
        app.dismiss(MESSAGE)
        assert app.end() == 0
    assert early not in ("Success", "Failed"), "the update had ended before the second click (inconclusive)"
    assert count(trace, r"^T Erasing sector 0\.\.\.$") == 1


def test_busy_sheet_message(wine, trace):
    """Under the interface message: another card's tab and the same Update
    again. Card 2 is an older card that is not up to date (14: below the 15
    of its family), so its Update asks for the interface."""
    with wine.start("busy-message", "152,14", trace) as app:
        app.select(1)
        point = app.point(1, 1)
        app.click_at(point)
        app.wait_window(CHOICE)
        # Under the message: Ctrl+PgUp toward card 1's tab, card 2's Update
        # clicked again. The sheet is disabled and takes none.
        xdotool("key", "ctrl+Prior")
        app.click_at(point)
        time.sleep(2)
        app.shoot("12-busy-message-clicked-under", "the interface message after presses made under it", CHOICE)
        found = xdotool("search", "--name", f"^{CHOICE}$").out.split()
        assert len(found) == 1, "one interface message, none stacked"
        # Space now goes to the message, whose OK button has the focus: its
        # own answer, so it comes after the count.
        xdotool("key", "space")
        if not harness.gone(CHOICE, 5):
            app.dismiss(CHOICE)
        assert (app.page(1)["status"], app.page(0)["status"]) == ("Not updated", "Up-to-date")
        app.click(-1, 1)
        assert app.end() == 0
    assert count(trace, r"^[WR] ") == 0, "a card's registers touched"


@pytest.mark.modes(*MODES)
def test_windows_versions(wine, version, hardware):
    """Wine as Windows 98, XP and 10 (the systems the two driver families run
    on): the simulated program updates to "Success"; the program for real
    cards, with no driver, ends at once with 0 and no window, having chosen
    the driver family from GetVersion (Wine's file log shows the device it
    tried to open). Under emulation only the latter: the sheet is checked
    already."""
    wine.setting(r"HKCU\Software\Wine", "Version", version)
    try:
        if not wine.emulated:
            with wine.start(f"as-{version}", "100") as app:  # no trace: the update as a person would run it
                assert app.tabs() == ["Card 1"]
                started = time.monotonic()
                app.click(0, 1)
                assert app.verdict(0)["status"] == "Success"
                harness.note(f"{wine.name}: flash update as {version} took "
                             f"{(time.monotonic() - started) * 1000:.0f} ms under Wine, no trace")
                app.shoot(f"13-{version}-success", f"the sheet under Wine as {version} after an update: Success")
                app.click(-1, 1)
                app.wait_window(MESSAGE)
                app.dismiss(MESSAGE)
                assert app.end() == 0
        started = time.monotonic()
        with harness.App(wine, f"as-{version}-hardware", hardware, "", None,
                         {"WINEDEBUG": "-all,err+module,+file"}) as app:
            assert app.end(CAPTION, MESSAGE, seconds=60) == 0, "with no driver the program for real cards exits 0"
        harness.note(f"{wine.name}: no-driver run as {version} took {(time.monotonic() - started) * 1000:.0f} ms")
        device = r"\\.\tarn.vxd" if version == "win98" else r"\\.\tarnOut0"
        # Wine's log doubles each backslash of a name.
        opened = [name.replace("\\\\", "\\") for name in
                  re.findall(r'CreateFileW L"([^"]*)"', app.log.read_text("latin-1")) if ":" not in name]
        assert device in opened, f"it should have tried to open {device}"
    finally:
        wine.setting(r"HKCU\Software\Wine", "Version")


def test_dpi(wine):
    """The sheet at 96 and 144 DPI: every page's text inside its control and
    every control inside the page, the screenshot the whole window, the
    icons at the system's sizes; declared DPI-aware, the program lays its
    pages out at the screen's resolution."""
    button = {}
    try:
        for dpi in (96, 144):
            wine.setting(r"HKCU\Control Panel\Desktop", "LogPixels", dpi, "REG_DWORD")
            with wine.start(f"dpi-{dpi}", "14:pci,100,152") as app:
                for page in (0, 1):
                    app.select(page)
                    report = wine.probe("fit", CAPTION, page).out
                    (OUT / f"{wine.name}-dpi-{dpi}-page{page}-fit.txt").write_text(report)
                    fit = harness.fields(report)
                    assert (fit.get("dpi"), fit.get("over")) == (str(dpi), "0"), \
                        "\n".join(re.findall(r".*(?:OVER|OUTSIDE).*", report))
                    button.setdefault(dpi, [int(n) for n in re.match(r"(\d+)x(\d+)", fit["place 1 Button"]).groups()])
                app.select(0)
                time.sleep(0.3)
                shot = app.shoot(f"20-sheet-dpi-{dpi}", f"the whole sheet at {dpi} DPI, card 1")
                # The whole window: frame and caption, not the client area alone.
                assert bounded(30, "identify", ["identify", "-format", "%wx%h", str(shot)]).out == fit["window"]
                # The system's icon sizes grow with the resolution: 16 and 32 pixels at 96 DPI.
                icons = bounded(10, "xprop", ["xprop", "-id", harness.window(CAPTION), "_NET_WM_ICON"]).out
                small, big = 16 * dpi // 96, 32 * dpi // 96
                assert sorted(re.findall(r"Icon \((\d+) x (\d+)\)", icons), key=lambda size: int(size[0])) == \
                    [(str(small), str(small)), (str(big), str(big))]
                app.click(-1, 2)
                assert app.end() == 0
    finally:
        wine.setting(r"HKCU\Control Panel\Desktop", "LogPixels")
    scale = [at144 / at96 for at96, at144 in zip(button[96], button[144])]
    assert all(1.3 <= s <= 1.7 for s in scale), f"Update button {button[96]} at 96 DPI, {button[144]} at 144"


def test_settings_message(wine):
    """The simulated program's own message for a machine setting it cannot
    read: the whole box, and exit status 2."""
    title = "TARN Flash Update Tool (simulated)"
    with wine.start("settings-message", "14:usb", window=title) as app:
        assert app.text(title) == "Simulation settings: TARN_SIM_CARDS: interface 'usb' is neither pci nor cardbus"
        app.shoot("21-settings-message", "the simulated program's message for a setting it cannot read", title)
        app.dismiss(title)
        assert app.end() == 2



BATTERY_QUESTION = ("The computer is running on battery (40% left).\\nIf power is lost during the update, the card\\n"
                    "may be left unable to start.\\nPlease connect the power adapter first.\\n\\n"
                    "Update the card on battery power anyway?")


@pytest.mark.modes("x64")
def test_battery(wine, trace):
    """On battery, Update asks first: No (the default) leaves the card
    untouched, Yes updates it as on mains power."""
    with wine.start("battery", "100", trace, TARN_SIM_POWER="battery:40") as app:
        app.click(0, 1)
        app.wait_window(MESSAGE)
        assert app.text(MESSAGE) == BATTERY_QUESTION
        app.shoot("22-battery-question", "the question before an update on battery power", MESSAGE)
        app.click(-1, 7, MESSAGE)  # No
        assert harness.gone(MESSAGE, 10), "No closes the question"
        assert (app.page(0)["status"], app.page(0)["progress"]) == ("Not updated", "0 (msctls_progress32)")
        assert trace.stat().st_size == 0, "No leaves the card untouched"
        app.click(0, 1)
        app.wait_window(MESSAGE)
        app.click(-1, 6, MESSAGE)  # Yes
        assert (app.verdict(0)["status"], app.page(0)["progress"]) == ("Success", BAR_FULL)
        app.click(-1, 1)
        app.wait_window(MESSAGE)
        assert app.text(MESSAGE) == POWER_OFF
        app.dismiss(MESSAGE)
        assert app.end() == 0
    assert (count(trace, r"^P 100$"), count(trace, r"^[WR] ") > 0) == (1, True)

@pytest.mark.on_request
@pytest.mark.modes(*MODES)
def test_hung_program(wine):
    """Only on request, to see the limits work: the program runs as a plain
    Wine call and its sheet is never closed, so the call's limit stops it
    (and TARN_WINDOWS_LIMIT below that, the whole part's)."""
    wine.run(120, f"wine {wine.sim.name} (its sheet never closed)", wine.sim, env={"TARN_SIM_CARDS": "100"})
