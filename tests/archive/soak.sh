#!/usr/bin/env bash
# Four programs archive-then-clear into one results archive at once, round after round, each
# from a simulated meter whose results change from round to round. Every program must exit 0
# (none refused as busy, none killed by a signal), and the archive must hold every result read.
#   soak.sh TAVEX_CLI [ROUNDS]     (200 rounds unless given)
set -euo pipefail
cli="$(realpath "$1")" rounds="${2:-200}" programs=4
w="$(mktemp -d)"
trap 'rm -rf "$w"' EXIT
# Memory images: the demo memory with its results moved on by 1..70 years (each record's year
# byte, and its check byte again), so that no two images share a result.
"$cli" --simulate dump "$w/demo.img" >/dev/null
python3 -c 'import sys
demo = open(sys.argv[1] + "/demo.img", "rb").read()
for shift in range(1, 71):
    image = bytearray(demo)
    for at in range(105, 105 + 8 * 1010, 8):  # the ring of 1010 records
        record = image[at:at + 8]
        if sum(record) % 256 == 0 and 1 <= record[6] <= 29 and 1 <= record[5] <= 12:
            record[6] += shift
            record[7] = -sum(record[:7]) % 256
            image[at:at + 8] = record
    open("%s/%d.img" % (sys.argv[1], shift), "wb").write(image)' "$w"

program() {  # program K: one line per round, "exit-code image"
  local round image code
  for ((round = 0; round < rounds; round++)); do
    image=$(((round * programs + $1) % 70 + 1)) code=0
    "$cli" "--simulate=$w/$image.img" --archive "$w/archive.sqlite" clear --yes \
      >>"$w/out.$1" 2>>"$w/err.$1" || code=$?
    echo "$code $image" >>"$w/codes"
  done
}
start=$SECONDS
for ((k = 0; k < programs; k++)); do program "$k" & done
wait
failed="$(awk '$1 != 0' "$w/codes" | wc -l)"
signals="$(awk '$1 > 128' "$w/codes" | wc -l)"
# What the images used hold, archived alone, against what the shared archive holds.
for image in $(cut -d' ' -f2 "$w/codes" | sort -un); do
  "$cli" "--simulate=$w/$image.img" --archive "$w/alone.sqlite" archive >/dev/null
done
"$cli" --archive "$w/alone.sqlite" history | sort >"$w/expected"
"$cli" --archive "$w/archive.sqlite" history | sort >"$w/held"
lost="$(comm -23 "$w/expected" "$w/held" | wc -l)"
echo "soak: $programs programs x $rounds rounds in $((SECONDS - start)) s: $failed failed," \
  "$signals killed by a signal, $lost of $(($(wc -l <"$w/expected") - 1)) results lost"
[ "$failed" -eq 0 ] && [ "$lost" -eq 0 ] || { cat "$w"/err.* | sort | uniq -c | head; exit 1; }
