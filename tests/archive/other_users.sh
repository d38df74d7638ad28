#!/usr/bin/env bash
# tavex-cli among other users' files: the owner (a uid of the test's own) runs it, nobody plants
# files beside the owner's. Also readers of archives the owner may only read, damaged archives,
# an option given twice, and the report where the session has no runtime folder. As root only.
#   other_users.sh TAVEX_CLI [report]     ("report": this tavex-cli draws reports)
set -euo pipefail
cli="$(realpath "$1")" reports="${2:-}" owner=64242 other=65534
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
  echo "skipped: acting as two users needs root and setpriv"
  exit 77
fi
other_name="$(getent passwd $other | cut -d: -f1 || true)"
other_name="${other_name:-uid $other}"
w="$(mktemp -d)"
trap 'umount "$w/mnt" 2>/dev/null || true; rm -rf "$w"' EXIT
chmod 0755 "$w"
# A copy the owner may run wherever the build lies (a home folder of 0700, say).
mkdir "$w/bin" && cp "$cli" "$w/bin/tavex-cli" && cli="$w/bin/tavex-cli"
mkdir -p -m 0700 "$w/home" "$w/tmp" "$w/mnt" "$w/home/rw"
chown -R $owner:$owner "$w/home" "$w/tmp" "$w/mnt"
as_other() { (umask "$1" && shift && setpriv --reuid=$other --regid=$other --clear-groups "$@"); }
failures=0
fail() { echo "FAIL: $*" && failures=$((failures + 1)); }
# try CODE TEXT WHAT ARGS...: tavex-cli ARGS as the owner exits CODE, saying TEXT on stderr.
try() {
  local want="$1" text="$2" what="$3" code=0
  shift 3
  setpriv --reuid=$owner --regid=$owner --clear-groups env -u XDG_RUNTIME_DIR HOME="$w/home" \
    TMPDIR="$w/tmp" "$cli" "$@" >"$w/out" 2>"$w/err" || code=$?
  [ "$code" -eq "$want" ] || fail "$what: exit $code, not $want: $(cat "$w/err")"
  [ -z "$text" ] || grep -qF -- "$text" "$w/err" ||
    fail "$what: does not say '$text': $(cat "$w/err")"
}
# Each file's name, owner, time and bytes.
state() { (cd "$1" && find . -type f -printf '%p %u %T@ ' -exec sha256sum {} \; | sort); }

# ---- another user's files in a shared (sticky) folder ----
s="$w/shared"
mkdir -m 1777 "$s"
try 0 "" "the owner's archive in a shared folder" --simulate --archive "$s/own.sqlite" archive
# A log of 300 results that are not the owner's, as a program left it that did not close.
cp "$s/own.sqlite" "$w/foreign.sqlite"
python3 -c 'import os, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.executemany("INSERT INTO results VALUES (?, 30, 0)", [(203001010000 + i,) for i in range(300)])
db.commit()
os._exit(0)' "$w/foreign.sqlite"
as_other 022 touch "$s/empty.sqlite"
as_other 000 touch "$s/open.sqlite"
as_other 077 "$cli" --simulate --archive "$s/theirs.sqlite" archive >/dev/null
theirs="$(state "$s" | grep " $other_name ")"
for name in empty open theirs; do
  for command in archive "clear --yes"; do
    try 1 "($other_name)" "$command into the other user's $name.sqlite" \
      --simulate --archive "$s/$name.sqlite" $command
  done
done
for companion in wal journal; do
  cp "$w/foreign.sqlite-wal" "$s/own.sqlite-$companion"
  chown $other:$other "$s/own.sqlite-$companion"
  chmod 0666 "$s/own.sqlite-$companion"
  before="$(state "$s")"
  try 1 "own.sqlite-$companion\" beside the results archive belongs to another user ($other_name)" \
    "a planted -$companion" --simulate --archive "$s/own.sqlite" archive
  try 1 "($other_name)" "reading beside a planted -$companion" --archive "$s/own.sqlite" summary
  [ "$(state "$s")" = "$before" ] || fail "a planted -$companion: files changed"
  rm "$s/own.sqlite-$companion"
  try 0 "" "the owner's archive again" --archive "$s/own.sqlite" summary --json
  grep -q '"count":247,' "$w/out" || fail "a planted -$companion reached the archive"
done
[ "$(state "$s" | grep " $other_name ")" = "$theirs" ] || fail "a file of the other user's changed"
chmod 0777 "$w/home"
try 1 "is writable by all and not sticky" "a folder open to all" \
  --simulate --archive "$w/home/x.sqlite" archive
chmod 0700 "$w/home"

# ---- readers of archives the owner may only read; damaged archives ----
try 0 "" "the owner's archive" --simulate --archive "$w/home/rw/a.sqlite" archive
readers() {  # readers ARCHIVE WHAT
  local before
  before="$(state "$(dirname "$1")")"
  try 0 "" "summary --json of $2" --archive "$1" summary --json
  grep -q '"count":247,' "$w/out" || fail "summary --json of $2: $(cat "$w/out")"
  try 0 "" "history of $2" --archive "$1" history
  [ "$(wc -l <"$w/out")" = 248 ] || fail "history of $2: $(wc -l <"$w/out") lines"
  [ -z "$reports" ] || try 0 "" "report of $2" --archive "$1" report "$w/home/r.pdf"
  [ "$(state "$(dirname "$1")")" = "$before" ] || fail "reading $2 changed its folder"
}
chmod 0400 "$w/home/rw/a.sqlite" && chmod 0500 "$w/home/rw"
readers "$w/home/rw/a.sqlite" "a 0400 archive in a 0500 folder"
chmod 0700 "$w/home/rw" && chmod 0600 "$w/home/rw/a.sqlite"
if mount --bind "$w/home/rw" "$w/mnt" && mount -o remount,bind,ro "$w/mnt"; then
  readers "$w/mnt/a.sqlite" "an archive on a read-only mount"
else
  echo "skipped: no read-only bind mount can be made here; that reader case did not run"
fi
for damaged in cut overwritten; do
  cp -p "$w/home/rw/a.sqlite" "$w/home/$damaged.sqlite"
done
truncate -s 8192 "$w/home/cut.sqlite"
head -c 4096 /dev/zero | tr '\0' U | dd of="$w/home/overwritten.sqlite" bs=4096 seek=3 \
  conv=notrunc status=none
before="$(state "$w/home")"
for damaged in cut overwritten; do
  for command in summary history; do
    try 1 "is a damaged results archive" "$command of the $damaged archive" \
      --archive "$w/home/$damaged.sqlite" "$command"
  done
  try 1 "is a damaged results archive" "archiving into the $damaged archive" \
    --simulate --archive "$w/home/$damaged.sqlite" archive
done
[ "$(state "$w/home")" = "$before" ] || fail "a damaged archive changed"

# ---- an option given twice; the report where the session has no runtime folder ----
try 2 "--from is given more than once" "an option given twice" \
  --archive "$w/home/rw/a.sqlite" summary --from 2026-01-01 --from 2026-02-01
if [ -n "$reports" ]; then
  try 0 "" "the report without a runtime folder" \
    --archive "$w/home/rw/a.sqlite" report "$w/home/r.pdf"
  [ ! -s "$w/err" ] || fail "the report without a runtime folder said: $(cat "$w/err")"
  [ -z "$(ls -A "$w/tmp")" ] || fail "the report left $(ls -A "$w/tmp") in the temporary folder"
fi
[ "$failures" -eq 0 ] && echo "archive among other users: all cases held"
