# Sourced by the scripts that drive a program's windows. kel_gui_session
# skips the test (exit 77) when a display tool is missing, and otherwise
# runs the calling script again on a private virtual X display; once there,
# it returns after the display answers. Usage: kel_gui_session "$0" "$@"
kel_gui_session() { # script, its arguments...
  local tool
  for tool in xvfb-run xdotool import iconv xprop; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIP: $tool is not installed (scripts/install-deps installs it)"
      exit 77
    fi
  done
  if [[ ${KEL_GUI_INNER:-} != 1 ]]; then
    export KEL_GUI_INNER=1
    # -noreset: a server that resets when its last client leaves refuses the
    # connections that arrive meanwhile.
    exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp -noreset" "$@"
  fi
  export QT_QPA_PLATFORM=xcb
  for _ in $(seq 1 100); do xprop -root >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "the virtual display never answered" >&2
  exit 1
}

# Gives each keysym (by name, e.g. U0436) a keycode of its own before the
# programs start. xdotool otherwise types a character the keymap lacks by
# remapping a spare keycode for the moment of the key press, and a program
# that reads the keymap late, on a loaded machine, gets nothing or
# something else.
kel_gui_map_keysyms() { # keysym names...
  command -v xmodmap >/dev/null || { echo "SKIP: xmodmap is not installed (scripts/install-deps installs it)"; exit 77; }
  local free=() args=() name
  mapfile -t free < <(xmodmap -pke | awk 'NF == 3 && $1 == "keycode" { print $2 }' | tail -n "$#")
  (( ${#free[@]} == $# )) || { echo "no spare keycodes for $*" >&2; exit 1; }
  for name in "$@"; do
    args+=(-e "keycode ${free[${#args[@]} / 2]} = $name")
  done
  xmodmap "${args[@]}"
}
