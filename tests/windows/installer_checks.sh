#!/bin/bash
# The Windows installer under Wine, as an owner would use it: a silent install into Program
# Files, the installed tavex-cli.exe, the installed tavex-demo.exe started on a virtual X server
# from another folder (the skin found beside it: the window has the panel's size and shape; the
# language file kept per user; nothing written into the install or the start folder), a first
# export through the panel's keys and the save dialog (the page as tavex-cli writes it), then a
# silent uninstall that leaves no program file, shortcut or registry entry behind and the
# per-user data alone. WINEPREFIX names the Wine prefix (scripts/test-windows sets it).
#   installer_checks.sh INSTALLER [SCREENSHOT_FOLDER]
# With SCREENSHOT_FOLDER, the panel is also photographed there (connected, menu, Russian).
set -u
installer="$(realpath "$1")" shots="${2:+$(realpath "$2")}"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
xvfb=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true  # ends the demo with the rest of Wine
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
. "$here/checks.sh"
wine_run="$here/../../cmake/wine-run"
: "${WINEPREFIX:?the Wine prefix}"
drive="$WINEPREFIX/drive_c"
install="$drive/Program Files/Tavex"
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Tavex"
user_data="$drive/users/$(id -un)/AppData/Local/Tavex"
start="$work/start folder"
mkdir -p "$start"

listing() { find "$1" -printf '%P %s %T@\n' | LC_ALL=C sort; }
uninstall_key() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavex' /reg:64 \
    >/dev/null 2>&1
}
# Waits up to $2 seconds for the test $1 to hold.
wait_for() {
  local i=0
  while ! eval "$1"; do
    i=$((i + 1))
    [ "$i" -gt $(($2 * 5)) ] && return 1
    sleep 0.2
  done
}

rm -rf "$user_data"
check "silent install" "$wine_run" "$installer" /S
check "... the programs, the skin and the help in Program Files" bash -c \
  "cd '$install' && ls tavex.exe tavex-demo.exe tavex-cli.exe uninstall.exe mdpek.dat helpa.htm \
   helpr.htm platforms/qwindows.dll Qt6Widgets.dll"
check "... Start-menu entries for the panel, the demo and the help" bash -c \
  "cd '$menu' && ls Tavex.lnk 'Tavex demo.lnk' 'Tavex help.lnk' 'Справка Tavex.lnk'"
check "... an uninstall entry" uninstall_key
check "installed tavex-cli.exe --simulate info" bash -c \
  "cd '$start' && '$wine_run' '$install/tavex-cli.exe' --simulate info | grep -q '^header: valid'"

# The demo on a virtual X server, started from a folder of its own.
export DISPLAY=:91
Xvfb "$DISPLAY" -screen 0 1400x900x24 -br -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
before_install="$(listing "$install")"
(cd "$start" && exec wine "C:\\Program Files\\Tavex\\tavex-demo.exe" >"$work/demo.log" 2>&1) &
disown  # ended with Wine at the end, quietly
window=""
find_panel() { window="$(xdotool search --onlyvisible --name '^Form1$' 2>/dev/null | head -1)"; [ -n "$window" ]; }
check "the demo shows its panel" wait_for find_panel 60
sleep 3  # the first poll, the connected screen
geometry() { xdotool getwindowgeometry --shell "$1" | sed -n "s/^$2=//p"; }  # WINDOW KEY
width="$(geometry "$window" WIDTH)" height="$(geometry "$window" HEIGHT)"
left="$(geometry "$window" X)" top="$(geometry "$window" Y)"
panel_size="$(identify -format '%w %h' "bmp:$install/mdpek.dat" 2>/dev/null)"
check "... the size of the skin's panel ($panel_size)" test "$width $height" = "$panel_size"
check "... the language file kept per user" test -f "$user_data/Lang"

key() {  # Enter, Up or Down on the panel, as a user's click
  local x y
  case "$1" in Enter) x=210 y=295 ;; Up) x=105 y=264 ;; Down) x=122 y=371 ;; esac
  xdotool mousemove $((left + x)) $((top + y)) click 1
  sleep 0.6
}
simulator="$(xdotool search --onlyvisible --name '^Simulator$' 2>/dev/null | head -1)"
sim_left="$(geometry "$simulator" X)" sim_top="$(geometry "$simulator" Y)"
sim_click() { xdotool mousemove $((sim_left + $1)) $((sim_top + $2)) click 1; sleep 0.4; }
shot() {  # the Simulator window and the panel, with its menu
  [ -z "$shots" ] && return
  sleep 1.5
  import -window root "$work/shot.png"
  convert "$work/shot.png" -crop 930x520+$((sim_left - 10))+$((top - 12)) +repage "$shots/$1.png"
}
# In these scripted runs Wine often draws the menu's window only in part (its left 64 columns;
# cause not found; whole when the same keys are pressed by hand, never seen on Linux).
key Enter; key Enter; key Down
shot panel-windows-menu
xdotool mousemove $((left + 150)) $((top + 460)) click 1  # a press on the panel hides the menu
sleep 1.5
shot panel-windows-connected
import -window root "$work/screen.png"
pixel() { convert "$work/screen.png" -format "%[hex:u.p{$1,$2}]" info:; }
# Cut to the panel's outline: the black root shows at the window's corner, not the panel.
check "the panel is cut to its shape" test "$(pixel "$left" "$top")" = 000000
check "... and drawn inside it" test "$(pixel $((left + width / 2)) $((top + height / 2)))" \
  != 000000

# A newcomer's first export: Enter three times, a name typed into the save dialog.
mkdir -p "$drive/tavex-check"
key Enter; key Enter; key Enter
find_dialog() { xdotool search --onlyvisible --name '^Save As$' >/dev/null 2>&1; }
check "the save dialog opens" wait_for find_dialog 20
sleep 1
xdotool type --delay 30 'C:\tavex-check\newcomer'
xdotool key Return
check "... the page is written" wait_for "test -s '$drive/tavex-check/newcomer.htm'" 60
"$wine_run" "$install/tavex-cli.exe" --simulate export 'C:\tavex-check\cli.htm' >/dev/null 2>&1
sleep 2
check "... as tavex-cli writes it" cmp "$drive/tavex-check/newcomer.htm" "$drive/tavex-check/cli.htm"

# The demo meter switched to Russian in the Simulator window, which reconnects it by itself:
# the panel follows, and so does the language file.
# Reached by the keyboard, not by where it is drawn (the rows' heights follow Wine's fonts): a
# click on the window's margin gives the first control the focus, two tabs the language.
sim_click 3 3; xdotool key Tab Tab Up; sleep 0.3
language_is_russian() { test "$(head -c 1 "$user_data/Lang" 2>/dev/null)" = 0; }
check "the panel follows the meter's language" wait_for language_is_russian 15
sleep 1.5
shot panel-windows-russian
check "nothing written into the start folder" test -z "$(ls -A "$start")"
check "nothing written into the install folder" test "$(listing "$install")" = "$before_install"
wineserver -k >/dev/null 2>&1
wait_for "! pgrep -f tavex-demo.exe >/dev/null" 20

check "silent uninstall" "$wine_run" "$install/uninstall.exe" /S
# The uninstaller runs on from a copy of itself in the temporary folder.
check "... the install folder is gone" wait_for "test ! -e '$install'" 60
check "... the Start-menu entries are gone" wait_for "test ! -e '$menu'" 30
no_uninstall_key() { ! uninstall_key; }
check "... the uninstall entry is gone" no_uninstall_key
check "... the per-user language file stays" test -f "$user_data/Lang"
summary
