#!/usr/bin/env bash
# Runs the real panomix program on a virtual X display and configures it
# through its windows by keystrokes: "5.1 Surround", two sine sources made
# and mapped in the source window (440 Hz on Front Left and Side Left,
# 880 Hz on Front Right), then plays for 5 s through the wave mapper (the
# virtual device on a machine without sound), saves a screenshot and quits
# with Ctrl+Q. What the window shows is read from the dump the program
# under test writes (state.txt beside it); the settings it saved are read
# from its ini file. Usage: panomix-gui.sh <panomix executable> <artifact dir>
# Exit 77 (skip) when the display tools are missing.
set -euo pipefail
exe=${1:?panomix executable}
artifacts=${2:?artifact directory}

mkdir -p "$artifacts"
# shellcheck source=../support/gui-session.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/gui-session.sh"
kel_gui_session "$0" "$exe" "$artifacts"

work=$(mktemp -d)
pid=""
cleanup() {
  [[ -n $pid ]] && kill "$pid" 2>/dev/null || true
  cp "$work"/*.log "$artifacts/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The program keeps its settings beside its executable: a folder of its own.
cp "$exe" "$work/panomix"
{ printf '\xff\xfe'
  printf '[settings]\r\nc_form_main.left=10\r\nc_form_main.top=10\r\n' | iconv -f UTF-8 -t UTF-16LE; } >"$work/panomix.ini"

rm -rf "$artifacts/state"
XDG_STATE_HOME="$artifacts/state" "$work/panomix" >"$work/panomix.log" 2>&1 & pid=$!

window_named() { # name
  local id=""
  for _ in $(seq 1 300); do
    id=$(xdotool search --all --pid "$pid" --name "$1" 2>/dev/null | head -n1 || true)
    [[ -n $id ]] && { echo "$id"; return 0; }
    sleep 0.1
  done
  echo "no window '$1'" >&2
  return 1
}
state() { cat "$work/state.txt" 2>/dev/null || true; }
# Waits until the dump holds a line matching `pattern`.
wait_state() { # what, pattern
  for _ in $(seq 1 300); do
    state | grep -q -- "$2" && return 0
    sleep 0.1
  done
  echo "$1: the window shows" >&2
  state >&2
  return 1
}
press() { # window, keys...
  local w=$1; shift
  xdotool windowfocus --sync "$w"
  xdotool key --clearmodifiers "$@"
}

main=$(window_named '^MT 2.5 - Panomix$')
wait_state "first start" '^channels=1 channel; 88 200 bytes/sec$'

# "5.1 Surround": the configuration list is five items below "Mono".
press "$main" alt+u Down Down Down Down Down
wait_state "5.1 Surround" '^channels=6 channels; 529 200 bytes/sec$'

# The source window: a sine of 440 Hz on Front Left and Side Left, one of
# 880 Hz on Front Right.
press "$main" alt+m
sources=$(window_named 'Audio Source Selection')
# A mnemonic clicks its button only after a short animation, so each step
# waits for its effect before the next keys go out.
add_sine() { # frequency, mask it ends with, list rows to check (0-based)...
  local freq=$1 mask=$2; shift 2
  press "$sources" alt+s Tab ctrl+a
  xdotool type --delay 30 "$freq"
  press "$sources" alt+a
  wait_state "adding $freq Hz" "^source=Sine, freq=$freq Hz mask=0$"
  press "$sources" alt+m Home
  local row=0
  for want in "$@"; do
    while (( row < want )); do xdotool key --clearmodifiers Down; row=$((row + 1)); done
    xdotool key --clearmodifiers space
  done
  wait_state "mapping $freq Hz" "^source=Sine, freq=$freq Hz mask=$mask$"
}
add_sine 440 513 0 9
add_sine 880 2 1
press "$sources" alt+d
for _ in $(seq 1 100); do
  xdotool search --all --pid "$pid" --name 'Audio Source Selection' 2>/dev/null | grep -q . || break
  sleep 0.1
done
wait_state "the sources in the tree" '^tree=Front Left | Sine, freq=440 Hz$'
wait_state "the sources in the tree" '^tree=Front Right | Sine, freq=880 Hz$'
wait_state "the sources in the tree" '^tree=Side Left | Sine, freq=440 Hz$'

# Plays for 5 s: 250 feeds of three contributions of 882 samples each.
press "$main" alt+o
wait_state "playing" '^playing=1$'
sleep 5
mixed=$(state | sed -n 's/^mixed=//p')
(( mixed >= 3 * 882 * 200 )) || { echo "only $mixed samples mixed in 5 s" >&2; exit 1; }
import -window root "$artifacts/panomix-gui.png"
press "$main" alt+c
wait_state "closed" '^playing=0$'

press "$main" ctrl+q
for _ in $(seq 1 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
  echo "panomix did not exit on Ctrl+Q" >&2
  exit 1
fi
wait "$pid" || { echo "panomix failed" >&2; cat "$work/panomix.log" >&2; exit 1; }
pid=""

settings=$(iconv -f UTF-16 -t UTF-8 "$work/panomix.ini" | tr -d '\r')
check() { # expected line
  grep -qx "$1" <<<"$settings" || { echo "panomix.ini lacks '$1':" >&2; echo "$settings" >&2; exit 1; }
}
check 'wave.config.index=6'
check 'wave.samplingRate=44100'
check 'source.count=2'
check 'source.0.stype=102'
check 'source.0.param=440'
check 'source.0.mask=513'
check 'source.1.param=880'
check 'source.1.mask=2'
check 'c_form_main.left=10'
[[ -s $artifacts/panomix-gui.png ]] || { echo "no screenshot" >&2; exit 1; }
cp "$work/panomix.log" "$artifacts/"
echo "panomix played two mapped sines for 5 s and saved its settings; screenshot in $artifacts/panomix-gui.png"
