#!/usr/bin/env python3
"""Checks the manifest built into a Windows program.

    check-manifest.py PROGRAM.exe

Reads the program's resources the way the Windows loader finds them: the
resource directory of the PE file, type 24 (RT_MANIFEST), id 1, its language
entry, the data entry, and the data's RVA mapped to a file offset through the
section table. The manifest found there must ask for version 6 of the common
controls, for the program's own processor, and run the program asInvoker.

Without the manifest Wine runs the program just the same, so only this check
notices if it goes missing. On Windows the program would then get the old
common controls, and, because its file name contains "update", the installer
detection would ask for elevation before it starts.

Exits 0 when the manifest is sound, 1 with the reason on stderr otherwise.
"""
import struct
import sys
import xml.etree.ElementTree as ElementTree

RT_MANIFEST = 24
CREATEPROCESS_MANIFEST_RESOURCE_ID = 1
RESOURCE_DIRECTORY_INDEX = 2
COMMON_CONTROLS = "Microsoft.Windows.Common-Controls"
COMMON_CONTROLS_KEY = "6595b64144ccf1df"
MACHINES = {0x014C: "x86", 0x8664: "amd64"}


class NotSound(Exception):
    pass


class PeFile:
    def __init__(self, data):
        self.data = data
        if self.u16(0) != 0x5A4D:
            raise NotSound("not an MZ executable")
        pe = self.u32(0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise NotSound("no PE signature")
        coff = pe + 4
        self.machine = self.u16(coff)
        sections = self.u16(coff + 2)
        optional_size = self.u16(coff + 16)
        optional = coff + 20
        magic = self.u16(optional)
        if magic == 0x10B:
            count_at, directories = optional + 92, optional + 96
        elif magic == 0x20B:
            count_at, directories = optional + 108, optional + 112
        else:
            raise NotSound("unknown optional header magic 0x%x" % magic)
        if self.u32(count_at) <= RESOURCE_DIRECTORY_INDEX:
            raise NotSound("no resource directory entry in the optional header")
        entry = directories + 8 * RESOURCE_DIRECTORY_INDEX
        if entry + 8 > optional + optional_size:
            raise NotSound("the optional header ends before the resource directory entry")
        self.resource_rva = self.u32(entry)
        self.resource_size = self.u32(entry + 4)
        table = optional + optional_size
        self.sections = []
        for i in range(sections):
            at = table + 40 * i
            virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from(
                "<IIII", self.need(at + 8, 16), 0)
            self.sections.append((virtual_address, max(virtual_size, raw_size), raw_size, raw_pointer))

    def need(self, offset, size):
        if offset < 0 or offset + size > len(self.data):
            raise NotSound("reads past the end of the file at 0x%x" % offset)
        return self.data[offset:offset + size]

    def u16(self, offset):
        return struct.unpack("<H", self.need(offset, 2))[0]

    def u32(self, offset):
        return struct.unpack("<I", self.need(offset, 4))[0]

    def offset_of(self, rva, size):
        for virtual_address, span, raw_size, raw_pointer in self.sections:
            if virtual_address <= rva and rva + size <= virtual_address + span:
                if rva + size > virtual_address + raw_size:
                    raise NotSound("RVA 0x%x lies beyond its section's file data" % rva)
                return raw_pointer + (rva - virtual_address)
        raise NotSound("RVA 0x%x (%d bytes) lies in no section" % (rva, size))


def directory_entries(pe, root, offset):
    """(id or None for a named entry, subdirectory flag, offset from the root)."""
    at = root + offset
    named, numbered = pe.u16(at + 12), pe.u16(at + 14)
    for i in range(named + numbered):
        name, target = pe.u32(at + 16 + 8 * i), pe.u32(at + 20 + 8 * i)
        yield (None if name & 0x80000000 else name, bool(target & 0x80000000), target & 0x7FFFFFFF)


def find_subdirectory(pe, root, offset, wanted, what):
    for ident, is_directory, target in directory_entries(pe, root, offset):
        if ident == wanted:
            if not is_directory:
                raise NotSound("%s %d is a data entry, not a directory" % (what, wanted))
            return target
    raise NotSound("no %s %d in the resources" % (what, wanted))


def read_manifest(pe):
    if pe.resource_rva == 0 or pe.resource_size == 0:
        raise NotSound("the program has no resources")
    root = pe.offset_of(pe.resource_rva, pe.resource_size)
    types = find_subdirectory(pe, root, 0, RT_MANIFEST, "resource type")
    names = find_subdirectory(pe, root, types, CREATEPROCESS_MANIFEST_RESOURCE_ID, "RT_MANIFEST id")
    languages = list(directory_entries(pe, root, names))
    if len(languages) != 1:
        raise NotSound("RT_MANIFEST 1 has %d language entries, the loader expects one" % len(languages))
    language, is_directory, target = languages[0]
    if is_directory:
        raise NotSound("the language entry of RT_MANIFEST 1 is a directory, not data")
    data_rva, size = pe.u32(root + target), pe.u32(root + target + 4)
    return language, pe.need(pe.offset_of(data_rva, size), size)


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
    return architecture


def main(argv):
    if len(argv) != 2:
        print("usage: check-manifest.py PROGRAM.exe", file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as file:
            pe = PeFile(file.read())
        language, text = read_manifest(pe)
        architecture = check_manifest(text, pe.machine)
    except (OSError, NotSound) as error:
        print("check-manifest: %s: %s" % (argv[1], error), file=sys.stderr)
        return 1
    print("check-manifest: %s: RT_MANIFEST 1, language %s, %d bytes: common controls 6.0.0.0 for %s, asInvoker"
          % (argv[1], language, len(text), architecture))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
