#!/usr/bin/env bash
# Runs two real quillnet programs on a virtual X display, one transmitting
# and one receiving on rtp://127.0.0.1: starts the receiver first and types
# at once, then pastes, clicks into the text, types an emoji and restarts
# the transmitter mid-session, comparing both text boxes after each step
# through the dump of the box the program under test writes (box.txt
# beside it). Checks the About box's caption, saves a screenshot and
# closes both with Ctrl+Q; both must go down cleanly and save their
# settings. Usage: quillnet-gui.sh <quillnet executable> <artifact dir>
# Exit 77 (skip) when the display tools are missing.
set -euo pipefail
exe=${1:?quillnet executable}
artifacts=${2:?artifact directory}

mkdir -p "$artifacts"
# shellcheck source=../support/gui-session.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/gui-session.sh"
kel_gui_session "$0" "$exe" "$artifacts"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  # The programs' own output tells why a run failed.
  cp "$work"/*.log "$artifacts/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Each program keeps its settings beside its executable, so each side runs
# from a folder of its own with its settings preset.
preset() { # folder, TX value, left
  mkdir -p "$work/$1"
  cp "$exe" "$work/$1/quillnet"
  { printf '\xff\xfe'
    printf '[settings]\r\nTX=%s\r\nURI=rtp://127.0.0.1:5006\r\nc_form_main.left=%s\r\nc_form_main.top=10\r\n' "$2" "$3" |
      iconv -f UTF-8 -t UTF-16LE; } >"$work/$1/quillnet.ini"
}
preset tx -1 10
preset rx 0 500

# The letters typed beyond ASCII: a Cyrillic zhe and an emoji.
kel_gui_map_keysyms U0436 U1F600

# Each side's program log goes to the artifacts, not the user's state folder.
rm -rf "$artifacts/rx-state" "$artifacts/tx-state"
XDG_STATE_HOME="$artifacts/rx-state" "$work/rx/quillnet" >"$work/rx.log" 2>&1 & pids+=($!)
XDG_STATE_HOME="$artifacts/tx-state" "$work/tx/quillnet" >"$work/tx.log" 2>&1 & pids+=($!)

window_of() { # pid
  local id=""
  for _ in $(seq 1 300); do
    id=$(xdotool search --all --pid "$1" --name 'MT 2.5 - Quillnet sample' 2>/dev/null | head -n1 || true)
    [[ -n $id ]] && { echo "$id"; return 0; }
    sleep 0.1
  done
  echo "no quillnet window for process $1" >&2
  return 1
}
# A window is ready once it has moved to the position its settings hold.
wait_at() { # window, x
  for _ in $(seq 1 300); do
    xdotool getwindowgeometry "$1" | grep -q "Position: $2,10 " && return 0
    sleep 0.1
  done
  echo "window $1 never reached its saved position" >&2
  return 1
}
rx_win=$(window_of "${pids[0]}")
tx_win=$(window_of "${pids[1]}")
wait_at "$rx_win" 500
wait_at "$tx_win" 10

press() { # window, keys...
  local w=$1; shift
  xdotool windowfocus --sync "$w"
  xdotool key --clearmodifiers "$@"
}
# Start by mouse: a click is handled in order with the keys that follow,
# where a mnemonic clicks only after a short animation. The button sits at
# (8, 83), 75 x 25, below the menu bar.
click_start() { # window
  local menu
  menu=$(( $(xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: [0-9]*x\([0-9]*\).*/\1/p') - 379 ))
  xdotool windowfocus --sync "$1"
  xdotool mousemove --window "$1" 45 $((menu + 95)) click 1
}
click_stop() { # window
  local menu
  menu=$(( $(xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: [0-9]*x\([0-9]*\).*/\1/p') - 379 ))
  xdotool windowfocus --sync "$1"
  xdotool mousemove --window "$1" 133 $((menu + 95)) click 1
}
# Each side's box as the program dumps it (UTF-8, beside its executable).
box_of() { cat "$work/$1/box.txt" 2>/dev/null || true; }
# Waits until the transmitting box matches `pattern` (the edit was made)
# and `test` holds for the two boxes; says what differs when not.
wait_boxes() { # what, test (same | rx-ends-with-tx), pattern
  local rx tx
  for _ in $(seq 1 300); do
    rx=$(box_of rx); tx=$(box_of tx)
    # shellcheck disable=SC2053
    if [[ $tx != $3 ]]; then sleep 0.1; continue; fi
    case $2 in
      same) [[ -n $tx && $rx == "$tx" ]] && return 0 ;;
      rx-ends-with-tx) [[ -n $tx && $rx == *"$tx" ]] && return 0 ;;
    esac
    sleep 0.1
  done
  echo "$1: the boxes differ" >&2
  echo "transmitter: $(box_of tx | od -c | head -n 20)" >&2
  echo "receiver:    $(box_of rx | od -c | head -n 20)" >&2
  return 1
}
type_tx() { # text
  xdotool windowfocus --sync "$tx_win"
  xdotool type --delay 30 "$1"
}
# The receiver first, and typing at once: the transmitter has not heard the
# receiver yet and keeps what is typed until it does.
click_start "$rx_win"
click_start "$tx_win"
type_tx "first words "
wait_boxes "typed before the receiver was heard" same 'first words ' 
press "$tx_win" BackSpace
type_tx "$(printf '\u0436') "
wait_boxes "backspace and a Cyrillic letter" same "first words$(printf '\u0436') "
# Paste: the line copied through the program's own clipboard.
press "$tx_win" shift+Home ctrl+c End ctrl+v
wait_boxes "paste" same "first words$(printf '\u0436') first words$(printf '\u0436') "
# A click moves the cursor into the first line; the next letter lands there.
menu=$(( $(xdotool getwindowgeometry "$tx_win" | sed -n 's/.*Geometry: [0-9]*x\([0-9]*\).*/\1/p') - 379 ))
xdotool windowfocus --sync "$tx_win"
xdotool mousemove --window "$tx_win" 40 $((menu + 122)) click 1
type_tx "x"
# The click moved the cursor: the letter is not at the end.
wait_boxes "click and type" same '*x*[! ]*' 
press "$tx_win" ctrl+End
type_tx "$(printf '\U0001F600')"
wait_boxes "an emoji" same "*$(printf '\U0001F600')"
# The transmitter restarted mid-session: its box starts empty, and what is
# typed then reaches the end of the receiving box.
click_stop "$tx_win"
click_start "$tx_win"
type_tx "again"
wait_boxes "a restarted transmitter" rx-ends-with-tx again
import -window root "$artifacts/quillnet-gui.png"

# The About box is captioned "About" and nothing more.
press "$tx_win" alt+e
sleep 0.3
xdotool key --clearmodifiers Down Return
about=""
for _ in $(seq 1 100); do
  about=$(xdotool search --all --pid "${pids[1]}" --name '^About' 2>/dev/null | head -n1 || true)
  [[ -n $about ]] && break
  sleep 0.1
done
[[ -n $about ]] || { echo "no About box" >&2; exit 1; }
title=$(xprop -id "$about" _NET_WM_NAME | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p')
[[ $title == About ]] || { echo "the About box is captioned '$title'" >&2; exit 1; }
xdotool windowfocus --sync "$about"
xdotool key --clearmodifiers Return
for _ in $(seq 1 100); do
  xdotool search --all --pid "${pids[1]}" --name '^About' >/dev/null 2>&1 || break
  sleep 0.1
done

press "$tx_win" ctrl+q
press "$rx_win" ctrl+q
for i in 0 1; do
  pid=${pids[$i]}
  for _ in $(seq 1 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "quillnet process $pid did not exit on Ctrl+Q" >&2
    exit 1
  fi
  wait "$pid" || { echo "quillnet process $pid failed" >&2; cat "$work"/*.log >&2; exit 1; }
done
pids=()

check() { # folder, expected line
  local text
  text=$(iconv -f UTF-16 -t UTF-8 "$work/$1/quillnet.ini" | tr -d '\r')
  grep -qx "$2" <<<"$text" || { echo "$1/quillnet.ini lacks '$2':" >&2; echo "$text" >&2; exit 1; }
}
check tx 'TX=-1'
check rx 'TX=0'
check rx 'URI=rtp://127.0.0.1:5006'
check tx 'c_form_main.left=10'
check rx 'c_form_main.windowState=0'
[[ -s $artifacts/quillnet-gui.png ]] || { echo "no screenshot" >&2; exit 1; }
for side in tx rx; do
  [[ -f $artifacts/$side-state/quillnet/quillnet.log ]] || { echo "$side made no program log" >&2; exit 1; }
done
cp "$work/tx.log" "$work/rx.log" "$artifacts/"
echo "both windows ran and saved their settings; screenshot in $artifacts/quillnet-gui.png"
