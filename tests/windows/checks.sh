# Sourced by the Windows check scripts: check NAME COMMAND... runs the command in $work, counts
# it as passed or failed and shows the end of its output when it fails; `summary` ends the run.
failed=0 passed=0
check() {
  local name="$1"; shift
  if "$@" >"$work/last.log" 2>&1; then
    passed=$((passed + 1)); echo "ok: $name"
  else
    failed=$((failed + 1)); echo "FAILED: $name"; tail -5 "$work/last.log"
  fi
}
summary() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
