#!/usr/bin/env bash
# Checks that a Windows program loads on the oldest systems it is meant for:
# every function it imports is on the allow-list, and the PE header asks for
# no system newer than 4.0.
#
#   tests/windows/check-imports.sh [--list] EXE [ALLOW-LIST]
#
# ALLOW-LIST defaults to tests/windows/imports-allowed.txt. Prints one line per
# import that is not on the list ("not allowed: KERNEL32.DLL GetTickCount64",
# an import by number as "#N") and per header field above 4.0, and exits 1 if
# there is any. --list prints the imports per DLL first, with their count.
# Debian's python3-pefile reads the program, 32-bit or 64-bit.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
list=0
if [[ ${1:-} == --list ]]; then list=1; shift; fi
exe=${1:?usage: check-imports.sh [--list] EXE [ALLOW-LIST]}
allowed=${2:-$here/imports-allowed.txt}

exec /usr/bin/python3 - "$exe" "$allowed" "$list" <<'EOF'
import sys
from collections import defaultdict

import pefile

exe, allowed, show_list = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
try:
    pe = pefile.PE(exe, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
except (OSError, pefile.PEFormatError) as error:
    print("no imports found in %s (not a PE program? %s)" % (exe, error))
    sys.exit(1)

# "DLL FUNCTION" for each import, the DLL in capitals as the list has it.
imports = set()
for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
    dll = entry.dll.decode("latin-1").upper()
    for symbol in entry.imports:
        name = symbol.name.decode("latin-1") if symbol.name else "#%d" % symbol.ordinal
        imports.add((dll, name))
if not imports:
    print("no imports found in %s (not a PE program?)" % exe)
    sys.exit(1)

if show_list:
    per_dll = defaultdict(list)
    for dll, name in sorted(imports):
        per_dll[dll].append(name)
    for dll in sorted(per_dll):
        print("%s (%d): %s" % (dll, len(per_dll[dll]), " ".join(per_dll[dll])))

# The list: "DLL FUNCTION" lines; # starts a comment.
known = set()
with open(allowed) as file:
    for line in file:
        words = line.split("#", 1)[0].split()
        if words:
            known.add((words[0].upper(), words[1]))

bad = 0
for dll, name in sorted(imports - known):
    print("not allowed: %s %s" % (dll, name))
    bad = 1

header = pe.OPTIONAL_HEADER
for field, major, minor in (
        ("MajorOSystemVersion", header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion),
        ("MajorSubsystemVersion", header.MajorSubsystemVersion, header.MinorSubsystemVersion)):
    if (major, minor) > (4, 0):
        print("header asks for too new a system: %s %d.%d (at most 4.0)" % (field, major, minor))
        bad = 1
sys.exit(bad)
EOF
