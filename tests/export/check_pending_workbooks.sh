#!/bin/sh
# Reads back, with the independent reader, every workbook that the Windows tests left in FOLDER
# together with what it should hold (NAME.xlsx beside NAME.json).
#   check_pending_workbooks.sh PYTHON CHECKER FOLDER
python="$1" checker="$2" folder="$3"
# The python3 CMake found may lack openpyxl (a pyenv one, say); Debian's has it.
if ! "$python" -c 'import openpyxl' 2>/dev/null; then python=/usr/bin/python3; fi
found=0 failed=0
for json in "$folder"/*.json; do
  [ -e "$json" ] || continue
  found=$((found + 1))
  book="${json%.json}.xlsx"
  if ! "$python" "$checker" "$book" "$json"; then
    echo "not as expected: $book"
    failed=$((failed + 1))
  fi
done
echo "$found workbooks read back, $failed not as expected"
[ "$found" -gt 0 ] && [ "$failed" -eq 0 ]
