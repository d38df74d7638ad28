#!/usr/bin/env bash
# tavex-cli and its results archive among other users' files, with two users of the test's own:
# the owner (a uid without an account) runs tavex-cli; nobody plants files beside the owner's.
# Also: readers on archives the owner may only read, damaged archives, an option given twice,
# and the report drawn where the session has no runtime folder. Needs root (to act as both).
#   other_users.sh TAVEX_CLI [report]     ("report": this tavex-cli draws reports)
set -euo pipefail
cli="$(realpath "$1")"
reports="${2:-}"
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
  echo "skipped: acting as two users needs root and setpriv"
  exit 77
fi
owner=64242
other=65534
other_name="$(getent passwd "$other" | cut -d: -f1 || true)"
[ -n "$other_name" ] || other_name="uid $other"
work="$(mktemp -d)"
chmod 0755 "$work"
cleanup() {
  umount "$work/mnt" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/home" "$work/tmp" "$work/mnt"
chown "$owner:$owner" "$work/home" "$work/tmp" "$work/mnt"
chmod 0700 "$work/tmp"

as_owner() {
  setpriv --reuid=$owner --regid=$owner --clear-groups \
    env -u XDG_RUNTIME_DIR HOME="$work/home" TMPDIR="$work/tmp" "$@"
}
as_other() { (umask "$1" && shift && setpriv --reuid=$other --regid=$other --clear-groups "$@"); }
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# tavex-cli as the owner: code, and its output in $work/out and $work/err.
run() {
  set +e
  as_owner "$cli" "$@" >"$work/out" 2>"$work/err"
  code=$?
  set -e
}
# expect CODE TEXT WHAT: the last run exited with CODE and said TEXT on standard error.
expect() {
  [ "$code" -eq "$1" ] || fail "$3: exit $code, not $1: $(cat "$work/err")"
  [ -z "$2" ] || grep -qF -- "$2" "$work/err" || fail "$3: does not say '$2': $(cat "$work/err")"
}
# What a folder holds: each file's name, owner, bytes and time of change.
state() { (cd "$1" && find . -type f -printf '%p %u %T@ ' -exec sha256sum {} \; | sort); }
count_in() {
  run --archive "$1" summary --json
  grep -o '"count":[0-9]*' "$work/out" | head -1 | cut -d: -f2
}

# ---- another user's files in a shared (sticky) folder ----
shared="$work/shared"
mkdir -m 1777 "$shared"
run --simulate --archive "$shared/own.sqlite" archive
expect 0 "" "the owner's own archive in a shared folder"
# A log of 300 results that are not the owner's, as another program would leave it.
cp "$shared/own.sqlite" "$work/foreign.sqlite"
python3 - "$work/foreign.sqlite" <<'EOF'
import os, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("PRAGMA wal_autocheckpoint = 0")
db.executemany("INSERT INTO results VALUES (?, 30, 0)",
               [(203001000000 + (1 + i // 24) * 10000 + (i % 24) * 100,) for i in range(300)])
db.commit()
os._exit(0)  # without closing: the log stays beside the database
EOF
as_other 022 touch "$shared/empty.sqlite"
as_other 000 touch "$shared/open.sqlite"
as_other 077 "$cli" --simulate --archive "$shared/theirs.sqlite" archive >/dev/null
before="$(state "$shared")"
theirs="$(state "$shared" | grep " $other_name ")"
for name in empty open theirs; do
  run --simulate --archive "$shared/$name.sqlite" archive
  expect 1 "($other_name)" "the other user's $name.sqlite"
  run --simulate --archive "$shared/$name.sqlite" clear --yes
  expect 1 "($other_name)" "clearing into the other user's $name.sqlite"
done
[ "$(state "$shared")" = "$before" ] || fail "the other user's files changed"
for companion in wal journal; do
  if [ "$companion" = wal ]; then
    cp "$work/foreign.sqlite-wal" "$shared/own.sqlite-wal"
  else
    printf 'not a journal of the owner' >"$shared/own.sqlite-journal"
  fi
  chown "$other:$other" "$shared/own.sqlite-$companion"
  chmod 0666 "$shared/own.sqlite-$companion"
  before="$(state "$shared")"
  run --simulate --archive "$shared/own.sqlite" archive
  expect 1 "own.sqlite-$companion\" beside the results archive belongs to another user ($other_name)" \
    "a planted -$companion"
  run --archive "$shared/own.sqlite" summary
  expect 1 "($other_name)" "reading beside a planted -$companion"
  [ "$(state "$shared")" = "$before" ] || fail "a planted -$companion: files changed"
  rm "$shared/own.sqlite-$companion"
  [ "$(count_in "$shared/own.sqlite")" = 247 ] || fail "a planted -$companion reached the archive"
done
# The owner's results are in the owner's files only.
[ "$(state "$shared" | grep " $other_name ")" = "$theirs" ] || fail "a file of the other user's was written"
chmod 0777 "$work/home"
run --simulate --archive "$work/home/x.sqlite" archive
expect 1 "is writable by all and not sticky" "a folder open to all"
chmod 0700 "$work/home"

# ---- readers of archives the owner may only read ----
mkdir "$work/home/rw"
chown "$owner:$owner" "$work/home/rw"
run --simulate --archive "$work/home/rw/a.sqlite" archive
readers() {  # readers WHERE WHAT
  local before
  before="$(state "$(dirname "$1")")"
  run --archive "$1" summary --json
  expect 0 "" "summary --json of $2"
  grep -q '"count":247' "$work/out" || fail "summary --json of $2: $(cat "$work/out")"
  run --archive "$1" history
  expect 0 "" "history of $2"
  [ "$(wc -l <"$work/out")" = 248 ] || fail "history of $2: $(wc -l <"$work/out") lines"
  if [ -n "$reports" ]; then
    run --archive "$1" report "$work/home/r.pdf"
    expect 0 "" "report of $2"
  fi
  [ "$(state "$(dirname "$1")")" = "$before" ] || fail "reading $2 changed its folder"
}
chmod 0400 "$work/home/rw/a.sqlite"
chmod 0500 "$work/home/rw"
readers "$work/home/rw/a.sqlite" "a 0400 archive in a 0500 folder"
chmod 0700 "$work/home/rw"
chmod 0600 "$work/home/rw/a.sqlite"
if mount --bind "$work/home/rw" "$work/mnt" 2>/dev/null &&
  mount -o remount,bind,ro "$work/mnt" 2>/dev/null; then
  readers "$work/mnt/a.sqlite" "an archive on a read-only mount"
  umount "$work/mnt"
else
  umount "$work/mnt" 2>/dev/null || true
  echo "skipped: no read-only bind mount can be made here; that reader case did not run"
fi

# ---- damaged archives ----
cp "$work/home/rw/a.sqlite" "$work/home/cut.sqlite"
truncate -s 8192 "$work/home/cut.sqlite"
cp "$work/home/rw/a.sqlite" "$work/home/overwritten.sqlite"
printf '%*s' 4096 '' | tr ' ' 'U' | dd of="$work/home/overwritten.sqlite" bs=4096 seek=3 conv=notrunc status=none
chown "$owner:$owner" "$work/home/cut.sqlite" "$work/home/overwritten.sqlite"
for damaged in cut overwritten; do
  before="$(state "$work/home")"
  for command in summary history archive; do
    if [ "$command" = archive ]; then
      run --simulate --archive "$work/home/$damaged.sqlite" archive
    else
      run --archive "$work/home/$damaged.sqlite" "$command"
    fi
    expect 1 "is a damaged results archive" "$command of the $damaged archive"
  done
  [ "$(state "$work/home")" = "$before" ] || fail "the $damaged archive changed"
done

# ---- an option given twice; the report where the session has no runtime folder ----
run --archive "$work/home/rw/a.sqlite" summary --from 2026-01-01 --from 2026-02-01
expect 2 "--from is given more than once" "an option given twice"
if [ -n "$reports" ]; then
  run --archive "$work/home/rw/a.sqlite" report "$work/home/r.pdf"
  expect 0 "" "the report without a runtime folder"
  [ ! -s "$work/err" ] || fail "the report without a runtime folder said: $(cat "$work/err")"
  [ -z "$(ls -A "$work/tmp")" ] || fail "the report left $(ls -A "$work/tmp") in the temporary folder"
fi

[ "$failures" -eq 0 ] || exit 1
echo "archive among other users: all cases held"
