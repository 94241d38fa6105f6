#!/usr/bin/env bash
# Runs two real quillnet programs on a virtual X display, one transmitting
# and one receiving on rtp://127.0.0.1, starts both, types into the
# transmitting one, saves a screenshot of the display and closes both with
# Ctrl+Q. Checks that both windows came up, that the receiving box showed
# text once it was typed, and that both went down cleanly and saved their
# settings. Usage: quillnet-gui.sh <quillnet executable> <artifact dir>
# Exit 77 (skip) when the display tools are missing.
set -euo pipefail
exe=${1:?quillnet executable}
artifacts=${2:?artifact directory}

for tool in xvfb-run xdotool import iconv; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps installs it)"
    exit 77
  fi
done

if [[ ${QUILLNET_GUI_INNER:-} != 1 ]]; then
  mkdir -p "$artifacts"
  export QUILLNET_GUI_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" "$exe" "$artifacts"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
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

export QT_QPA_PLATFORM=xcb
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
# The receiving window's picture, once two shots in a row agree.
settled_shot() { # window, file
  for _ in $(seq 1 100); do
    import -window "$1" "$2.a.png"
    sleep 0.2
    import -window "$1" "$2"
    [[ $(compare -metric AE "$2.a.png" "$2" null: 2>&1 || true) == 0 ]] && return 0
  done
  echo "window $1 never stopped changing" >&2
  return 1
}
# The transmitter first: the receiver's first hole packets then reach it at
# once, so it knows where to send before anything is typed. (Started the
# other way round, the receiver repeats them only at its next report time,
# and text typed before then has nowhere to go.)
click_start "$tx_win"
click_start "$rx_win"
settled_shot "$rx_win" "$work/rx-before.png"
xdotool windowfocus --sync "$tx_win"
xdotool type --delay 20 "hello"
press "$tx_win" BackSpace
xdotool type --delay 20 "$(printf '\u0436')"
# The text has arrived once the receiving box no longer looks empty.
arrived=0
for _ in $(seq 1 100); do
  import -window "$rx_win" "$work/rx-after.png"
  if [[ $(compare -metric AE "$work/rx-before.png" "$work/rx-after.png" null: 2>&1 || true) != 0 ]]; then
    arrived=1
    break
  fi
  sleep 0.1
done
settled_shot "$rx_win" "$work/rx-after.png"
import -window root "$artifacts/quillnet-gui.png"
cp "$work/rx-before.png" "$work/rx-after.png" "$artifacts/"
if [[ $arrived != 1 ]]; then
  echo "the receiving window never showed the typed text" >&2
  exit 1
fi

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
