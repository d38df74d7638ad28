#!/bin/bash
# What tavex-cli.exe does under Wine, against the Linux build's tavex-cli: exports byte for byte
# (the workbook cell by cell), a memory image that loads again, a name with Cyrillic letters,
# and no meter found through the Windows HID platform.
#   cross_checks.sh LINUX_CLI WINDOWS_CLI
set -u
linux="$(realpath "$1")" windows="$(realpath "$2")" here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
. "$here/checks.sh"
# Through cmake/wine-run: Wine's background processes never get a pipe of ours to hold.
wine_run="$here/../../cmake/wine-run"
win() { "$wine_run" "$windows" "$@"; }

for format in htm csv xlsx; do
  "$linux" --simulate export "linux.$format" >/dev/null
  check "export $format" win --simulate export "windows.$format"
done
check "page byte for byte" cmp windows.htm linux.htm
check "CSV byte for byte" cmp windows.csv linux.csv
check "workbook cell by cell" /usr/bin/python3 "$here/compare_workbooks.py" windows.xlsx linux.xlsx
check "a name with Cyrillic letters" win --simulate export "Результаты измерений.csv"
check "... written as the Linux build writes it" cmp "Результаты измерений.csv" linux.csv
check "dump" win --simulate dump image.img
check "... 8192 bytes" test "$(stat -c %s image.img)" -eq 8192
"$linux" --simulate info >linux-info.txt
win --simulate=image.img info >windows-info.txt
check "... loads again" bash -c "tr -d '\r' <windows-info.txt | cmp - linux-info.txt"
win --wait 0 info >/dev/null
check "no meter: exit 3" test $? -eq 3
check "200 starts in a row" "$here/run-info-200.sh" "$windows" 200
summary
