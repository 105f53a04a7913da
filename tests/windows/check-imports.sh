#!/usr/bin/env bash
# Checks that a Windows program loads on the oldest systems it is meant for:
# every function it imports is on the allow-list, and the PE header asks for
# no system newer than 4.0.
#
#   tests/windows/check-imports.sh [--list] EXE [ALLOW-LIST]
#
# ALLOW-LIST defaults to tests/windows/imports-allowed.txt. Prints one line per
# import that is not on the list ("not allowed: KERNEL32.DLL GetTickCount64")
# and per header field above 4.0, and exits 1 if there is any. --list prints
# the imports per DLL first, with their count.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
list=0
if [[ ${1:-} == --list ]]; then list=1; shift; fi
exe=${1:?usage: check-imports.sh [--list] EXE [ALLOW-LIST]}
allowed=${2:-$here/imports-allowed.txt}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

headers=$("$objdump" -p "$exe")
# "DLL FUNCTION" for each import, the DLL in capitals as the list has it.
imports=$(awk '
  /^\tDLL Name: / { dll = toupper($3); next }
  /^\tvma:/ { next }
  dll != "" && /^\t[0-9a-f]+\t/ { print dll, $NF; next }
  /^ [0-9a-f]+\t/ { dll = "" }
  /^The Export Tables|^PE File Base Relocations/ { exit }' <<<"$headers" | sort -u)
if [[ -z $imports ]]; then
  echo "no imports found in $exe (not a PE program?)"
  exit 1
fi

if [[ $list -eq 1 ]]; then
  awk '{ names[$1] = names[$1] " " $2; count[$1]++ }
       END { for (d in names) print d " (" count[d] "):" names[d] }' <<<"$imports" | sort
fi

bad=0
# The list: "DLL FUNCTION" lines; # starts a comment.
known=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$allowed" | awk '{ print toupper($1), $2 }' | sort -u)
while read -r dll function; do
  echo "not allowed: $dll $function"
  bad=1
done < <(comm -23 <(echo "$imports") <(echo "$known"))

for field in MajorOSystemVersion MajorSubsystemVersion; do
  minor=${field/Major/Minor}
  major_value=$(awk -v f="$field" '$1 == f { print $2 }' <<<"$headers")
  minor_value=$(awk -v f="$minor" '$1 == f { print $2 }' <<<"$headers")
  if [[ -z $major_value ]] || ((major_value > 4 || (major_value == 4 && minor_value > 0))); then
    echo "header asks for too new a system: $field ${major_value:-?}.${minor_value:-?} (at most 4.0)"
    bad=1
  fi
done
exit "$bad"
