#!/usr/bin/env bash
# Four programs archive-then-clear into one results archive at once, round after round, each
# from a simulated meter of its own whose results change from round to round. Every program must
# exit 0 (none refused as busy, none killed by a signal), and at the end the archive must hold
# every result any of them read.
#   soak.sh TAVEX_CLI [ROUNDS]     (200 rounds unless given)
set -euo pipefail
cli="$(realpath "$1")"
rounds="${2:-200}"
programs=4
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
archive="$work/archive.sqlite"

# Memory images: the demo memory with its results moved on by 1..70 years (each record's year
# byte, and its check byte again), so that one image's results are no other's.
"$cli" --simulate dump "$work/demo.img" >/dev/null
python3 - "$work" <<'EOF'
import sys
work = sys.argv[1]
demo = bytearray(open(work + "/demo.img", "rb").read())
ring, slots = 105, 1010
for shift in range(1, 71):
    image = bytearray(demo)
    for slot in range(slots):
        at = ring + 8 * slot
        record = image[at:at + 8]
        if sum(record) % 256 != 0 or not 1 <= record[6] <= 29 or not 1 <= record[5] <= 12:
            continue
        record[6] += shift
        record[7] = (0x100 - sum(record[:7]) % 256) % 256
        image[at:at + 8] = record
    open("%s/%d.img" % (work, shift), "wb").write(image)
EOF

program() {  # program K: its rounds, one line per round: "exit-code image"
  local k="$1" round image code
  for ((round = 0; round < rounds; round++)); do
    image=$(((round * programs + k) % 70 + 1))
    set +e
    "$cli" "--simulate=$work/$image.img" --archive "$archive" clear --yes \
      >>"$work/out.$k" 2>>"$work/err.$k"
    code=$?
    set -e
    echo "$code $image" >>"$work/codes.$k"
  done
}
start=$SECONDS
for ((k = 0; k < programs; k++)); do program "$k" & done
wait

failed=0
signals=0
for ((k = 0; k < programs; k++)); do
  while read -r code image; do
    [ "$code" -eq 0 ] || failed=$((failed + 1))
    [ "$code" -le 128 ] || signals=$((signals + 1))
  done <"$work/codes.$k"
done
# Every result read: the union of what each image used holds, archived alone.
for image in $(cat "$work"/codes.* | cut -d' ' -f2 | sort -un); do
  "$cli" "--simulate=$work/$image.img" --archive "$work/alone.sqlite" archive >/dev/null
done
"$cli" --archive "$work/alone.sqlite" history | sort >"$work/expected"
"$cli" --archive "$archive" history | sort >"$work/held"
lost="$(comm -23 "$work/expected" "$work/held" | wc -l)"
echo "soak: $programs programs x $rounds rounds in $((SECONDS - start)) s: $failed failed," \
  "$signals killed by a signal, $lost of $(wc -l <"$work/expected") results lost"
if [ "$failed" -ne 0 ] || [ "$lost" -ne 0 ]; then
  for ((k = 0; k < programs; k++)); do sort "$work/err.$k" | uniq -c | head -5; done
  exit 1
fi
