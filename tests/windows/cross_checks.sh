#!/bin/bash
# What tavex-cli.exe does under Wine, against the Linux build's tavex-cli: exports byte for byte
# (the workbook cell by cell), a memory image that loads again, a name with Cyrillic letters,
# the results archive with its summary, history and report, two programs archiving into one
# archive at once, another user's file refused, and no meter found through the Windows HID
# platform. Both programs use archives of their own in the scratch folder.
#   cross_checks.sh LINUX_CLI WINDOWS_CLI
set -u
linux="$(realpath "$1")" windows="$(realpath "$2")" here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
. "$here/checks.sh"
# Through cmake/wine-run: Wine's background processes never get a pipe of ours to hold.
wine_run="$here/../../cmake/wine-run"
win() { "$wine_run" "$windows" --archive "Z:$work/windows-archive.sqlite" "$@"; }
export XDG_DATA_HOME="$work/linux-data"

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
# The exports above have filled both archives; the Windows one holds what the Linux one holds.
win --simulate archive | tr -d '\r' >windows-archived.txt
check "archive: nothing new after the exports" \
  grep -qx "archived: 0 new, 247 already there" windows-archived.txt
"$linux" --simulate summary --json >linux-summary.json
win --simulate summary --json | tr -d '\r' >windows-summary.json
check "summary as on Linux" cmp windows-summary.json linux-summary.json
"$linux" --simulate history --format csv linux-history.csv >/dev/null
win --simulate history --format csv windows-history.csv >/dev/null
check "history byte for byte" cmp windows-history.csv linux-history.csv
check "report" win --simulate report "отчёт.pdf" --language ru
check "... a PDF whose text holds the count" \
  bash -c "pdftotext 'отчёт.pdf' - | grep -q 247"
check "clear archives first" win --simulate clear --yes
# Two programs archiving into one new archive at the same moment: both succeed, and it holds
# what each read.
corpus="$here/../fuzz/corpus/memory_image"
for image in demo full_ring_wrapping; do
  "$linux" "--simulate=$corpus/$image" --archive both-linux.sqlite archive >/dev/null
done
"$linux" --archive both-linux.sqlite summary --json >both-linux.json
at_once() {
  local first second
  "$wine_run" "$windows" "--simulate=Z:$corpus/demo" --archive "Z:$work/both.sqlite" \
    archive &
  first=$!
  "$wine_run" "$windows" "--simulate=Z:$corpus/full_ring_wrapping" \
    --archive "Z:$work/both.sqlite" archive &
  second=$!
  wait "$first" && wait "$second"
}
check "two programs archiving at once" at_once
"$wine_run" "$windows" --archive "Z:$work/both.sqlite" summary --json | tr -d '\r' >both.json
check "... the archive holds both" cmp both.json both-linux.json
# A file of another user (Wine tells Unix owners apart) is not the archive.
touch planted.sqlite
if [ "$(id -u)" -eq 0 ] && chown nobody planted.sqlite; then
  win_planted() { ! "$wine_run" "$windows" --simulate --archive "Z:$work/planted.sqlite" archive; }
  check "another user's file is not the archive" win_planted
  check "... and is left empty" test ! -s planted.sqlite
fi
win --wait 0 info >/dev/null
check "no meter: exit 3" test $? -eq 3
check "200 starts in a row" "$here/run-info-200.sh" "$windows" 200
summary
