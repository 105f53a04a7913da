"""The built programs without Wine: format, imports, resources, the
hardware flavour's refusals, and the checks of the checks, each fault made
once on a copy of a built program."""
import os
import re
import subprocess
import time

import pytest

import harness
from harness import OUT, ROOT, bounded

PYTHON = "/usr/bin/python3"  # the system's Python, which Debian's python3-pefile installs into
CHECK_MANIFEST = str(ROOT / "tests/windows/check-manifest.py")
CHECK_IMPORTS = str(ROOT / "tests/windows/check-imports.sh")
VERSION = re.search(r"^project\([^)]* VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text(), re.M).group(1)
# Only DLLs that come with Windows: the C and C++ runtimes are linked in.
SYSTEM_DLLS = {"kernel32", "user32", "gdi32", "comctl32", "winmm", "msvcrt", "advapi32", "shell32", "ole32"}


def check_resources(program, flavour, *more):
    return bounded(60, f"check-manifest.py on {program.name}",
                   [PYTHON, CHECK_MANIFEST, "--flavour", flavour, "--version", VERSION, *more, str(program)],
                   stderr=subprocess.STDOUT)


def check_imports(program, *more):
    return bounded(60, f"check-imports.sh on {program.name}", ["bash", CHECK_IMPORTS, *more, str(program)],
                   stderr=subprocess.STDOUT)


# Each built program: its fixture, file format and flavour.
PROGRAMS = {"simulated-32": ("sim_x86", "pei-i386", "sim"), "simulated-64": ("sim_x64", "pei-x86-64", "sim"),
            "hardware-32": ("hardware_x86", "pei-i386", "hardware")}


@pytest.mark.parametrize("program", ["simulated-32", "hardware-32", pytest.param(
    "simulated-64", marks=pytest.mark.modes("x64", "x86-emulated"))])  # the x86 modes run no 64-bit program
def test_program(program, request):
    """Each built program: its file format, a GUI program, only system DLLs,
    and its manifest, version information and icon (no Wine needed)."""
    fixture, form, flavour = PROGRAMS[program]
    exe = request.getfixturevalue(fixture)
    objdump = ("x86_64" if form == "pei-x86-64" else "i686") + "-w64-mingw32-objdump"
    headers = bounded(60, f"objdump on {exe.name}", [objdump, "-f", "-p", str(exe)]).out
    assert re.search(r"file format (\S+)", headers).group(1) == form
    assert re.search(r"Subsystem\s+0*2\s", headers), f"{program} is not a GUI program"
    dlls = {name.lower().removesuffix(".dll") for name in re.findall(r"DLL Name: (\S+)", headers)}
    assert dlls and dlls <= SYSTEM_DLLS, f"{program} imports {sorted(dlls - SYSTEM_DLLS)}"
    ico = OUT / "program-icon.ico"
    ran = check_resources(exe, flavour, "--icon-file", str(ico))
    assert ran.code == 0, ran.out
    if program == "simulated-32":
        save_icon_pictures(ico)
    harness.note(f"{program}, version information:\n" +
                 "\n".join(line for line in ran.out.splitlines() if line.startswith("  ")))


def save_icon_pictures(ico):
    """The program's icon as read back from its resources: each image as a
    picture, and all six four times their size on the dialog grey."""
    pictures = []
    for i in range(6):
        size = bounded(30, "the icon's sizes", ["identify", "-format", "%wx%h-%zbit", f"{ico}[{i}]"]).out
        pictures.append(str(harness.SHOTS / f"icon-{size}.png"))
        bounded(30, "an icon picture", ["convert", f"{ico}[{i}]", pictures[-1]])
        harness.screenshots.append((f"icon-{size}.png", "the program's icon, read back from the 32-bit program"))
    bounded(30, "the icon pictures", ["convert", *pictures, "-scale", "400%", "-background", "#c0c0c0", "-gravity",
                                      "south", "+append", str(harness.SHOTS / "icon-all-x4.png")])
    harness.screenshots.append(("icon-all-x4.png", "the six images, four times their size"))


@pytest.mark.parametrize("fixture", ["sim_x86", "hardware_x86"])
def test_loads_on_old_systems(fixture, request):
    """The 32-bit programs import only functions that Windows 98 SE and
    2000 both export, and their header asks for at most 4.0."""
    exe = request.getfixturevalue(fixture)
    ran = check_imports(exe, "--list")
    assert ran.code == 0, f"{fixture} would not load on Windows 98 SE or 2000:\n{ran.out}"
    harness.note(f"{fixture}, {exe.stat().st_size} bytes, imports:\n" +
                 "\n".join(l for l in ran.out.splitlines() if re.match(r"[A-Z0-9_]+\.DLL \(", l)))


def test_import_check_refuses_vista_import():
    """A program importing the Vista-only GetTickCount64 is refused, named."""
    source, exe = OUT / "vista-import.c", OUT / "vista-import.exe"
    source.write_text("#include <windows.h>\nint WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {\n"
                      "  (void)i; (void)p; (void)c; (void)s;\n  return (int)(GetTickCount64() & 1);\n}\n")
    assert bounded(120, "the Vista-only test program to build",
                   ["i686-w64-mingw32-gcc-win32", "-mwindows", "-o", str(exe), str(source)]).code == 0
    ran = check_imports(exe)
    assert (ran.code, re.findall(r".*GetTickCount64.*", ran.out)) == (1, ["not allowed: KERNEL32.DLL GetTickCount64"])


# Each fault put into a copy of the built 32-bit program, and the words the
# resource or import check must refuse it with.
FAULTS = {
    "no-manifest": "no resource type 24 (RT_MANIFEST)",
    "wrong-architecture": "the program is amd64",
    "no-dpi-aware": "0 dpiAware elements",
    "no-version": "no resource type 16 (RT_VERSION)",
    "other-version": "the fixed file version is",
    "not-private": "not marked a private build",
    "no-icon": "no icon group",
    "icon-size-missing": "lacks 48x48 8-bit",
    "os-version-5.0": "header asks for too new a system: MajorOSystemVersion 5.0 (at most 4.0)",
}


@pytest.mark.parametrize("fault", FAULTS)
def test_checks_refuse(fault, sim_x86):
    faulty = OUT / f"faulty-{fault}.exe"
    made = bounded(60, f"a program with the fault {fault}",
                   [PYTHON, str(ROOT / "tests/windows/make-faulty-program.py"), str(sim_x86), str(faulty), fault],
                   stderr=subprocess.STDOUT)
    assert made.code == 0, made.out
    ran = check_imports(faulty) if fault.startswith("os-version") else check_resources(faulty, "sim")
    faulty.unlink()
    assert ran.code == 1 and FAULTS[fault] in ran.out, ran.out


def test_checks_refuse_the_other_flavour(sim_x86, hardware_x86):
    """Neither program passes for the other."""
    for exe, flavour, words in ((sim_x86, "hardware", "does not say 'real cards'"),
                                (hardware_x86, "sim", "does not say 'simulated cards'")):
        ran = check_resources(exe, flavour)
        assert ran.code == 1 and words in ran.out, ran.out


def test_hardware_flavour_refuses_stand_ins(sim_x86, hardware_x86):
    """Stand-in firmware never goes into the program for real cards: not
    without a firmware folder, not from a folder of stand-ins, and its entry
    point does not compile against stand-ins."""
    def refusal(folder, what):
        """The build's log when it refuses the folder, else ''."""
        log, env = OUT / f"refusal-{what}.log", {**os.environ, "TARN_FIRMWARE_DIR": folder}
        with open(log, "w") as file:
            for step in (["cmake", "--preset", "windows-hardware"],
                         ["cmake", "--build", "--preset", "windows-hardware"]):
                if bounded(600, f"{' '.join(step)} ({what})", step, env=env, stdout=file,
                           stderr=subprocess.STDOUT).code:
                    return log.read_text()
        return ""

    assert refusal("", "no-folder"), "windows-hardware configures without a firmware folder"
    stand_ins = OUT / "stand-in-firmware"
    stand_ins.mkdir()
    for payload in (sim_x86.parents[2] / "payloads/data").glob("*.bin"):
        (stand_ins / payload.name).write_bytes(payload.read_bytes())
    refused = refusal(str(stand_ins), "stand-ins")
    harness.remove(ROOT / "build/windows-hardware" / harness.PROGRAM)
    assert "stand-in" in refused.lower(), "windows-hardware does not refuse stand-in files for being stand-ins"
    ran = bounded(300, "the hardware entry point to compile against stand-ins",
                  ["i686-w64-mingw32-g++-win32", "-std=c++20", f"-I{ROOT}", f"-I{sim_x86.parents[2] / 'generated'}",
                   "-fsyntax-only", str(ROOT / "tools/tarn-flash-update/windows_program_hardware.cpp")],
                  stderr=subprocess.STDOUT)
    assert ran.code != 0 and "needs real firmware" in ran.out, ran.out


def test_screenshot_check():
    """A screenshot of one flat colour (a black screen, an empty display)
    shows nothing; a picture with content passes."""
    flat, gradient = OUT / "flat.png", OUT / "gradient.png"
    bounded(30, "a flat picture", ["convert", "-size", "320x200", "xc:black", str(flat)])
    bounded(30, "a gradient", ["convert", "-size", "320x200", "gradient:white-navy", str(gradient)])
    assert (harness.colours(flat) > 1, harness.colours(gradient) > 1) == (False, True)


def test_time_limit():
    """A call that would run 30 s is stopped after 1, naming what it waited for."""
    t0 = time.monotonic()
    with pytest.raises(pytest.fail.Exception, match=r"^waited 1 s for a command that never ends; stopped it$"):
        bounded(1, "a command that never ends", ["sleep", "30"])
    assert time.monotonic() - t0 < 10
