#!/usr/bin/env bash
# kestrin-host configure on a terminal (tmux): the dialog is drawn, the arrow
# keys and Tab work its controls in the real dialog's tab order, Enter accepts,
# a key that means nothing does nothing, and Esc cancels without Enter.
# usage: host_terminal_test.sh HOST MACHINE [CAPTURE]  (CAPTURE: write the screen there)
set -u
host=$1
machine_source=$2
work=$(mktemp -d)
runs=0
tm() { tmux -u -L "kestrin-test-$$-$runs" -f /dev/null "$@"; }
trap 'for runs in $(seq 0 "$runs"); do tm kill-server 2>/dev/null; done; rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
ini="$work/m/drive_c/Program Files/Velmora/plugins/KestrinPlugin.INI"

start() { # a fresh machine and the dialog on a terminal, 90x40 unless given
  rm -rf "$work/m" "$work/done"
  mkdir -p "$work/m"
  cp -r "$machine_source/." "$work/m/"
  tm kill-server 2>/dev/null
  runs=$((runs + 1)) # a server of its own for each run
  tm new-session -d -s dialog -x "${1:-90}" -y "${2:-40}" \
    "LANG=C.UTF-8 '$host' --machine '$work/m' configure 2>'$work/err.txt'; echo \$? >'$work/done'; sleep 60"
  tm set -g escape-time 0
  wait_for_screen "${3:-KestrinViewer Property}" || fail "the dialog was not drawn"
}
wait_for_screen() { # text: polls the screen, up to 5 s
  for _ in $(seq 50); do
    tm capture-pane -p -t dialog | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  return 1
}
wait_for_exit() {
  for _ in $(seq 50); do
    [ -s "$work/done" ] && return 0
    sleep 0.1
  done
  return 1
}

start
screen=$(tm capture-pane -p -t dialog)
[ -n "${3:-}" ] && printf '%s\n' "$screen" | sed -e 's/[[:space:]]*$//' >"$3"
grep -qE '^ +> System$' <<<"$screen" || fail "the current log is not selected"
grep -qF '%6 - User Name' <<<"$screen" || fail "no usage text"
grep -qF '[ %1 - %2' <<<"$screen" || fail "no template"
# Up twice in the list, a key that means nothing, Tab past Accept to the edit
# line, a long template typed at its end, Enter.
long=$(printf '%%2 %.0s' $(seq 150))
tm send-keys -t dialog Up Up F5 Tab Tab End BSpace BSpace
tm send-keys -t dialog -l "[%5] $long"
tm send-keys -t dialog Enter
wait_for_exit || fail "Enter did not accept"
expected=$(printf '[Kestrin Settings]\r\nOpenLog=Application\r\nParseString=%%1 - [%%5] %s\r' "$long")
[ "$(cat "$ini" 2>/dev/null)" = "$expected" ] || { fail "the settings file holds:"; cat "$ini"; }
grep -q 'accepted' "$work/err.txt" || fail "it did not say the values were accepted"

start
tm send-keys -t dialog Down Tab x
tm send-keys -t dialog Escape
wait_for_exit || fail "Esc did not close the dialog"
[ -e "$ini" ] && fail "Esc wrote the settings file"
grep -q 'cancelled' "$work/err.txt" || fail "it did not say the values were left"

[ "$(cat "$work/done")" = 255 ] || fail "Esc did not end with status 255"

# Characters, not bytes: one Backspace removes one "é"; a character the
# machine's code page (1252) lacks is refused and the dialog stays; Space
# presses the focused Accept.
start
tm send-keys -t dialog Tab Tab End
tm send-keys -t dialog -l ' éé'
tm send-keys -t dialog BSpace
tm send-keys -t dialog -l 'Ж'
tm send-keys -t dialog Enter
wait_for_screen 'cannot hold' || fail "a character outside the code page was taken"
tm send-keys -t dialog BSpace BTab Space
wait_for_exit || fail "Space on Accept did not accept"
[ "$(cat "$work/done")" = 0 ] || fail "Accept did not end with status 0"
grep -q 'KestrinPlugin.INI' "$work/err.txt" || fail "Accept did not name the file written"
expected=$(printf 'ParseString=%%1 - %%2 \xe9\r')
LC_ALL=C grep -qF "$expected" "$ini" || { fail "the template was not stored in 1252:"; od -c "$ini" | tail -3; }

# A terminal smaller than the dialog says so until it is resized.
start 60 20 'the terminal is too small'
tm resize-window -t dialog -x 90 -y 40
wait_for_screen 'KestrinViewer Property' || fail "the dialog was not drawn after the resize"
tm send-keys -t dialog Escape
wait_for_exit || fail "Esc did not close the resized dialog"

# The plugin's text in the machine's code page, shown in the terminal's set:
# converted on a terminal (ASCII under LANG=C), byte for byte into a pipe.
template=$(printf '\xdcber %%1')
tm new-session -d -s text -x 90 -y 10 \
  "LANG=C.UTF-8 '$host' --machine '$machine_source' entry --template '$template'; LANG=C '$host' --machine '$machine_source' entry --template '$template'; sleep 60"
for _ in $(seq 50); do tm capture-pane -p -t text | grep -q '?ber' && break; sleep 0.1; done
tm capture-pane -p -t text | grep -q 'Über' || fail "the text was not converted on a UTF-8 terminal"
tm capture-pane -p -t text | grep -q '?ber' || fail "the text was not ASCII under LANG=C"
"$host" --machine "$machine_source" entry --template "$template" | head -c 1 | od -An -tx1 | grep -q dc ||
  fail "the text into a pipe was not byte for byte"
LANG=C.UTF-8 "$host" --machine "$machine_source" --convert entry --template "$template" | grep -q 'Über' ||
  fail "--convert into a pipe"

# watch on a terminal: the text fitted to the window, newest entries on top
# and the status line kept, drawn again when the window changes size.
newest=$("$host" --machine "$machine_source" last --template '%1 - %2' | head -n 1 | cut -c1-30)
tm new-session -d -s watch -x 100 -y 8 "LANG=C.UTF-8 '$host' --machine '$machine_source' watch --last; sleep 60"
for _ in $(seq 50); do tm capture-pane -p -t watch | grep -q 'refreshed at' && break; sleep 0.1; done
screen=$(tm capture-pane -p -t watch)
grep -q 'refreshed at' <<<"$screen" || fail "watch lost its status line in a small window"
[ "$(head -n 1 <<<"$screen" | cut -c1-30)" = "$newest" ] || fail "watch did not show the newest entry first"
tm resize-window -t watch -x 100 -y 14
sleep 0.5
[ "$(tm capture-pane -p -t watch | grep -c .)" -gt 8 ] || fail "watch did not redraw for the larger window"

[ $failed -eq 0 ] && echo "kestrin-host configure on a terminal: all checks passed"
exit $failed
