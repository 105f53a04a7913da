#!/usr/bin/python3
"""Writes a copy of a built Windows program with one fault put in, for the
checks of the resource and import checks: each fault must be refused.

    make-faulty-program.py PROGRAM.exe OUT.exe FAULT

FAULT is one of the names in FAULTS below. Debian's python3-pefile edits the
file in place of a rebuild: a resource type renumbered is a resource gone.
"""
import struct
import sys

import pefile

RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
VS_FF_PRIVATEBUILD = 0x8


def resource_entry(pe, type_id):
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == type_id:
            return entry
    raise SystemExit("make-faulty-program: no resource type %d to change" % type_id)


def first_data(entry):
    """The data entry of the first name's first language under a type."""
    return entry.directory.entries[0].directory.entries[0].data.struct


def drop(type_id):
    def fault(pe):
        resource_entry(pe, type_id).struct.Name = type_id + 100
    return fault


def other_machine(pe):
    pe.FILE_HEADER.Machine = 0x8664 if pe.FILE_HEADER.Machine == 0x014C else 0x014C


def newer_system(pe):
    pe.OPTIONAL_HEADER.MajorOperatingSystemVersion = 5
    pe.OPTIONAL_HEADER.MinorOperatingSystemVersion = 0


def no_dpi_aware(pe):
    # The same length, and the XML stays whole: the element has another name.
    data = first_data(resource_entry(pe, RT_MANIFEST))
    offset = pe.get_offset_from_rva(data.OffsetToData)
    text = pe.get_data(data.OffsetToData, data.Size)
    if b"dpiAware" not in text:
        raise SystemExit("make-faulty-program: the manifest has no dpiAware to take out")
    pe.set_bytes_at_offset(offset, text.replace(b"dpiAware", b"dpiAwarX"))


def other_version(pe):
    pe.VS_FIXEDFILEINFO[0].FileVersionLS += 1


def not_private(pe):
    pe.VS_FIXEDFILEINFO[0].FileFlags &= ~VS_FF_PRIVATEBUILD


def icon_size_missing(pe):
    # The group's last image (48 pixels, 8-bit) said to be 24-bit.
    data = first_data(resource_entry(pe, RT_GROUP_ICON))
    count = struct.unpack("<H", pe.get_data(data.OffsetToData + 4, 2))[0]
    bits_at = pe.get_offset_from_rva(data.OffsetToData + 6 + 14 * (count - 1) + 6)
    pe.set_bytes_at_offset(bits_at, struct.pack("<H", 24))


FAULTS = {
    "no-manifest": drop(RT_MANIFEST),
    "wrong-architecture": other_machine,
    "os-version-5.0": newer_system,
    "no-dpi-aware": no_dpi_aware,
    "no-version": drop(RT_VERSION),
    "other-version": other_version,
    "not-private": not_private,
    "no-icon": drop(RT_GROUP_ICON),
    "icon-size-missing": icon_size_missing,
}


def main(argv):
    if len(argv) != 4 or argv[3] not in FAULTS:
        print("usage: make-faulty-program.py PROGRAM.exe OUT.exe %s" % "|".join(FAULTS), file=sys.stderr)
        return 2
    pe = pefile.PE(argv[1], fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    FAULTS[argv[3]](pe)
    pe.write(argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
