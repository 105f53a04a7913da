#!/usr/bin/python3
"""Checks the resources built into a Windows program: its manifest, its
version information and its icon.

    check-manifest.py --flavour sim|hardware --version VERSION PROGRAM.exe

Reads the program's resources the way the Windows loader and Explorer find
them (Debian's python3-pefile parses the file):

- the manifest, RT_MANIFEST id 1 with one language entry, must ask for
  version 6 of the common controls for the program's own processor, run the
  program asInvoker and declare it DPI-aware (system-aware, "true");
- the version information must carry VERSION (the project's version; missing
  numbers are 0) as fixed numbers and as texts, the program's name, file name
  and copyright, and say which flavour it is: the simulated program says
  "simulated cards" in its comment and as a private build, the program for
  real cards says "real cards" and never "simulated";
- the first icon group must hold 16, 32 and 48 pixels in 4-bit and in 8-bit
  colour, each image present under its id.

Without the manifest Wine runs the program just the same, so only this check
notices if it goes missing. On Windows the program would then get the old
common controls, blurred text on scaled screens, and, because its file name
contains "update", the installer detection would ask for elevation.

Exits 0 when all is sound, 1 with the reason on stderr otherwise.
"""
import argparse
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
CREATEPROCESS_MANIFEST_RESOURCE_ID = 1
COMMON_CONTROLS = "Microsoft.Windows.Common-Controls"
COMMON_CONTROLS_KEY = "6595b64144ccf1df"
MACHINES = {0x014C: "x86", 0x8664: "amd64"}
VS_FF_PRIVATEBUILD = 0x8
ICON_IMAGES = {(size, bits) for size in (16, 32, 48) for bits in (4, 8)}
PROGRAM_NAME = "TARN Flash Update Tool"
FLAVOUR_WORDS = {"sim": "simulated cards", "hardware": "real cards"}


class NotSound(Exception):
    pass


def resource_type(pe, type_id):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        raise NotSound("the program has no resources")
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == type_id:
            if not hasattr(entry, "directory"):
                raise NotSound("resource type %d is a data entry, not a directory" % type_id)
            return entry.directory.entries
    return None


def resource_data(pe, type_id, name_id, what):
    """The bytes of the one language entry of resource TYPE/NAME."""
    names = resource_type(pe, type_id)
    if names is None:
        raise NotSound("no resource type %d (%s) in the resources" % (type_id, what))
    for name in names:
        if name.id == name_id:
            if not hasattr(name, "directory"):
                raise NotSound("%s %d is a data entry, not a directory" % (what, name_id))
            languages = name.directory.entries
            if len(languages) != 1:
                raise NotSound("%s %d has %d language entries, the loader expects one"
                               % (what, name_id, len(languages)))
            if not hasattr(languages[0], "data"):
                raise NotSound("the language entry of %s %d is a directory, not data" % (what, name_id))
            entry = languages[0].data.struct
            data = pe.get_data(entry.OffsetToData, entry.Size)
            if len(data) != entry.Size:
                raise NotSound("%s %d: its %d bytes lie beyond the file's data" % (what, name_id, entry.Size))
            return languages[0].id, data
    raise NotSound("no %s %d in the resources" % (what, name_id))


def local(tag):
    return tag.rsplit("}", 1)[-1]


def children(element, name):
    return [child for child in element if local(child.tag) == name]


def path(element, *names):
    found = [element]
    for name in names:
        found = [child for parent in found for child in children(parent, name)]
    return found


def check_manifest(text, machine):
    try:
        assembly = ElementTree.fromstring(text)
    except (ElementTree.ParseError, LookupError, ValueError) as error:
        raise NotSound("the manifest is not readable XML: %s" % error)
    if local(assembly.tag) != "assembly":
        raise NotSound("the manifest's root is <%s>, not <assembly>" % local(assembly.tag))
    architecture = MACHINES.get(machine)
    if architecture is None:
        raise NotSound("unknown machine 0x%x" % machine)

    own = children(assembly, "assemblyIdentity")
    if own and (own[0].get("processorArchitecture") or "*").lower() not in (architecture, "*"):
        raise NotSound("the manifest describes a program for %r, the program is %s"
                       % (own[0].get("processorArchitecture"), architecture))

    controls = [identity for identity in path(assembly, "dependency", "dependentAssembly", "assemblyIdentity")
                if identity.get("name") == COMMON_CONTROLS]
    if not controls:
        raise NotSound("the manifest has no dependency on %s" % COMMON_CONTROLS)
    identity = controls[0]
    wanted = {"type": "win32", "version": "6.0.0.0", "publicKeyToken": COMMON_CONTROLS_KEY}
    for key, value in wanted.items():
        if (identity.get(key) or "").lower() != value.lower():
            raise NotSound("the common-controls dependency has %s=%r, not %r" % (key, identity.get(key), value))
    if (identity.get("processorArchitecture") or "").lower() not in (architecture, "*"):
        raise NotSound("the common-controls dependency is for %r, the program is %s"
                       % (identity.get("processorArchitecture"), architecture))

    levels = path(assembly, "trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel")
    if len(levels) != 1:
        raise NotSound("the manifest has %d requestedExecutionLevel elements, not one" % len(levels))
    if levels[0].get("level") != "asInvoker":
        raise NotSound("requestedExecutionLevel is %r, not 'asInvoker'" % levels[0].get("level"))
    if levels[0].get("uiAccess", "false") != "false":
        raise NotSound("requestedExecutionLevel asks for uiAccess")

    aware = path(assembly, "application", "windowsSettings", "dpiAware")
    if len(aware) != 1:
        raise NotSound("the manifest has %d dpiAware elements, not one" % len(aware))
    if (aware[0].text or "").strip() != "true":
        raise NotSound("dpiAware is %r, not 'true' (system-aware)" % aware[0].text)
    return architecture


def version_numbers(text):
    parts = text.split(".")
    if not 1 <= len(parts) <= 4 or not all(part.isdigit() for part in parts):
        raise NotSound("the expected version %r is not one to four numbers" % text)
    numbers = [int(part) for part in parts] + [0] * (4 - len(parts))
    return numbers, ".".join(str(n) for n in numbers)


def check_version(pe, flavour, expected):
    numbers, text = version_numbers(expected)
    resource_data(pe, RT_VERSION, 1, "RT_VERSION")
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    if not fixed:
        raise NotSound("the version information has no fixed part")
    fixed = fixed[0]
    for what, most, least in (("file", fixed.FileVersionMS, fixed.FileVersionLS),
                              ("product", fixed.ProductVersionMS, fixed.ProductVersionLS)):
        found = [most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF]
        if found != numbers:
            raise NotSound("the fixed %s version is %s, not %s" % (what, ".".join(map(str, found)), text))
    strings = {}
    for info in getattr(pe, "FileInfo", None) or []:
        for block in info:
            if getattr(block, "Key", b"") == b"StringFileInfo":
                for table in block.StringTable:
                    strings.update({key.decode("latin-1"): value.decode("latin-1")
                                    for key, value in table.entries.items()})
    if not strings:
        raise NotSound("the version information has no strings")
    wanted = {"FileDescription": PROGRAM_NAME, "ProductName": PROGRAM_NAME, "FileVersion": text,
              "ProductVersion": text, "OriginalFilename": "tarn-flash-update.exe"}
    for key, value in wanted.items():
        if strings.get(key) != value:
            raise NotSound("version string %s is %r, not %r" % (key, strings.get(key), value))
    if "Copyright" not in strings.get("LegalCopyright", ""):
        raise NotSound("version string LegalCopyright is %r, no copyright" % strings.get("LegalCopyright"))
    comment = strings.get("Comments", "").lower()
    if FLAVOUR_WORDS[flavour] not in comment:
        raise NotSound("version string Comments is %r: it does not say %r"
                       % (strings.get("Comments"), FLAVOUR_WORDS[flavour]))
    private = fixed.FileFlags & VS_FF_PRIVATEBUILD
    if flavour == "sim":
        if strings.get("PrivateBuild") != "Simulated cards" or not private:
            raise NotSound("the simulated program is not marked a private build \"Simulated cards\""
                           " (PrivateBuild %r, flag %s)" % (strings.get("PrivateBuild"), bool(private)))
    else:
        said = [key for key, value in strings.items() if "simulated" in value.lower()]
        if said or private or "PrivateBuild" in strings:
            raise NotSound("the program for real cards says it is simulated or private (%s)"
                           % ", ".join(said + (["PrivateBuild"] if "PrivateBuild" in strings or private else [])))
    return strings


def check_icon(pe):
    groups = resource_type(pe, RT_GROUP_ICON)
    if not groups:
        raise NotSound("no icon group in the resources")
    first = min(entry.id for entry in groups if entry.id is not None)
    _, data = resource_data(pe, RT_GROUP_ICON, first, "RT_GROUP_ICON")
    if len(data) < 6:
        raise NotSound("icon group %d is %d bytes, too short for its header" % (first, len(data)))
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1 or len(data) < 6 + 14 * count:
        raise NotSound("icon group %d is not an icon directory" % first)
    found = set()
    images = []
    for i in range(count):
        width, height, _, _, _, bits, size, ident = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        _, image = resource_data(pe, RT_ICON, ident, "RT_ICON")
        if len(image) != size:
            raise NotSound("icon image %d is %d bytes, its group says %d" % (ident, len(image), size))
        found.add((width or 256, bits) if width == height else (-1, bits))
        images.append((data[6 + 14 * i:6 + 14 * i + 12], image))
    missing = sorted(ICON_IMAGES - found)
    if missing:
        raise NotSound("icon group %d lacks %s" % (first, ", ".join("%dx%d %d-bit" % (s, s, b) for s, b in missing)))
    return first, images


def icon_file(images):
    """The icon group as an .ico file: the same entries, each with its image's offset."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for entry, image in images:
        out += entry + struct.pack("<I", offset)
        offset += len(image)
    return out + b"".join(image for _, image in images)


def main(argv):
    parser = argparse.ArgumentParser(description="Checks a Windows program's resources.")
    parser.add_argument("--flavour", choices=sorted(FLAVOUR_WORDS), required=True)
    parser.add_argument("--version", required=True, help="the project's version, e.g. 1.0")
    parser.add_argument("--icon-file", help="write the icon group here as an .ico file")
    parser.add_argument("program")
    args = parser.parse_args(argv[1:])
    try:
        try:
            # The resources alone: the imports and relocations are not needed.
            pe = pefile.PE(args.program, fast_load=True)
            pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        except pefile.PEFormatError as error:
            raise NotSound("not a PE program: %s" % error.value)
        language, text = resource_data(pe, RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID, "RT_MANIFEST")
        architecture = check_manifest(text, pe.FILE_HEADER.Machine)
        strings = check_version(pe, args.flavour, args.version)
        group, images = check_icon(pe)
        if args.icon_file:
            with open(args.icon_file, "wb") as file:
                file.write(icon_file(images))
    except (OSError, NotSound) as error:
        print("check-manifest: %s: %s" % (args.program, error), file=sys.stderr)
        return 1
    print("check-manifest: %s: RT_MANIFEST 1, language %s, %d bytes: common controls 6.0.0.0 for %s,"
          " asInvoker, dpiAware true; version %s, %s; icon group %d, %d images"
          % (args.program, language, len(text), architecture, strings["FileVersion"],
             strings["Comments"], group, len(images)))
    for key in ("FileDescription", "ProductName", "FileVersion", "ProductVersion", "OriginalFilename",
                "LegalCopyright", "Comments", "PrivateBuild"):
        if key in strings:
            print("  %s: %s" % (key, strings[key]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
