#!/bin/sh
# Steps of the COM tests that run on the build machine, not under Wine:
#   com_tests.sh register PREFIX SERVER_DLL CLSID
#       the tests' own Wine prefix (made on first use), with the test server registered in it as
#       "Excel.Application" (Wine 8 looks for classes under HKCR only), its wineserver kept up;
#   com_tests.sh stop PREFIX
#       that prefix's wineserver stopped;
#   com_tests.sh readback WORKBOOK EXPECTATIONS CHECKER [PYTHON]
#       the checker run by the first python3 that has openpyxl ($TAVEX_PYTHON, PYTHON, the one
#       on PATH, the system's).
set -eu
case "$1" in
register)
  export WINEPREFIX="$2" WINEDEBUG=-all
  dll="$3"
  clsid="$4"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # No Mono or Gecko installers on the first start; its chatter is of no use.
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
    wineserver -w  # its server ends; the one below stays
  fi
  # Everything Wine starts here (its services stay up with the server) gets /dev/null for
  # output: whatever inherits ctest's pipes keeps ctest waiting for ever.
  wineserver -p </dev/null >/dev/null 2>&1 || true  # 2: one is up already
  wine reg add 'HKCR\Excel.Application\CLSID' /ve /d "$clsid" /f </dev/null >/dev/null 2>&1
  server="$(winepath -w "$dll" </dev/null 2>/dev/null)"
  key="HKCR\\CLSID\\$clsid"
  wine reg add "$key" /ve /d "Tavex test server" /f </dev/null >/dev/null 2>&1
  wine reg add "$key\\InprocServer32" /ve /d "$server" /f </dev/null >/dev/null 2>&1
  wine reg add "$key\\InprocServer32" /v ThreadingModel /d Apartment /f </dev/null >/dev/null 2>&1
  wine reg query "$key\\InprocServer32" /ve </dev/null 2>/dev/null | grep -qF "$server"
  printf "registered %s as Excel.Application (%s) in %s\n" "$server" "$clsid" "$WINEPREFIX"
  ;;
stop)
  WINEPREFIX="$2" wineserver -k 2>/dev/null || true
  ;;
readback)
  for python in "${TAVEX_PYTHON:-}" "${5:-}" "$(command -v python3 || true)" /usr/bin/python3; do
    if [ -n "$python" ] && "$python" -c 'import openpyxl' 2>/dev/null; then
      exec "$python" "$4" "$2" "$3"
    fi
  done
  echo "no python3 with openpyxl (set TAVEX_PYTHON)"
  exit 1
  ;;
*)
  echo "usage: $0 register|stop|readback ..." >&2
  exit 2
  ;;
esac
