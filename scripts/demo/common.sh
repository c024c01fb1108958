# shellcheck shell=bash
# Shared by scripts/run.sh, scripts/screenshots-tray.sh and
# benchmarks/startup_bench.sh: building the program, laying out a demo agent
# home, a virtual display with a tray host, and a stand-in service manager.
# Source it from bash after `set -euo pipefail`, then call opal_init. (With
# pipefail, a reader must not leave a pipe early: the writer's SIGPIPE would
# fail the pipeline.)

OPAL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
OPAL_BUILD_DIR="${OPAL_BUILD_DIR:-$OPAL_ROOT/build}"
OPAL_DEMO_DIR="${OPAL_DEMO_DIR:-$OPAL_ROOT/demo}"
# What the demo agent home is built from.
OPAL_SAMPLES="$OPAL_ROOT/scripts/demo"
OPAL_PROGRAM=opal-agent-setting
OPAL_PLUGIN_UI=libOpalSamplePluginUI.so
OPAL_SERVICE_UNIT=opal-agent-demo.service
OPAL_REGISTRY_SUBKEY="HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/OPAL4HBS/Agent"
# The language number the Japanese library declares.
# shellcheck disable=SC2034 # for the scripts that source this file
OPAL_JAPANESE=3

# Processes this script started, ended in reverse order by opal_cleanup.
OPAL_PIDS=()
OPAL_TMP=""

opal_log() { printf '%s\n' "$*" >&2; }
opal_die() { opal_log "error: $*"; exit 1; }

# A scratch directory for this run and the clean-up of everything the run
# starts, on any way out.
opal_init() {
  trap opal_cleanup EXIT
  trap 'exit 130' INT TERM
  OPAL_TMP="$(mktemp -d /tmp/opal-demo.XXXXXX)"
}

opal_track() { OPAL_PIDS+=("$1"); }

# Ends one process we started: politely, then for good after two seconds.
opal_stop_pid() {
  local pid="$1" i
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for i in $(seq 20); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

opal_cleanup() {
  local i
  for ((i = ${#OPAL_PIDS[@]} - 1; i >= 0; i--)); do
    opal_stop_pid "${OPAL_PIDS[$i]}"
  done
  OPAL_PIDS=()
  if [ -n "$OPAL_TMP" ]; then rm -rf "$OPAL_TMP"; OPAL_TMP=""; fi
}

# Installs the Debian packages, configures the build directory when needed and
# builds the given targets (the program, its Japanese library and the sample
# plug-in by default). The build directory is the one scripts/test.sh uses.
opal_build() {
  local targets=("$@")
  [ "${#targets[@]}" -gt 0 ] || targets=("$OPAL_PROGRAM" lexidra opal_sample_plugin_ui)
  bash "$OPAL_ROOT/scripts/install-deps.sh"
  if [ ! -f "$OPAL_BUILD_DIR/build.ninja" ]; then
    cmake -S "$OPAL_ROOT" -B "$OPAL_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
  cmake --build "$OPAL_BUILD_DIR" --target "${targets[@]}"
}

# Copies a sample document as the agent writes it: CR LF line ends, and the
# agent's home directory filled in.
opal_copy_document() {
  local name="$1"
  sed -e "s|@HOME_DIRECTORY@|$OPAL_DEMO_DIR|g" -e 's/\r$//' -e 's/$/\r/' \
    "$OPAL_SAMPLES/$name" >"$OPAL_DEMO_DIR/$name"
}

opal_set_registry_value() {
  local dir="$OPAL_REGISTRY_ROOT/$OPAL_REGISTRY_SUBKEY"
  mkdir -p "$dir"
  printf '%s' "$2" >"$dir/$1"
}

opal_registry_value() {
  cat "$OPAL_REGISTRY_ROOT/$OPAL_REGISTRY_SUBKEY/$1" 2>/dev/null || true
}

# A fresh demo agent home: the program (which takes the directory of its own
# executable as the agent's home), its Japanese library, the sample plug-in,
# the agent's documents and a registry root of its own. `language` is the
# number saved in the tool's settings (0 English).
opal_layout_demo() {
  local language="${1:-0}" bin="$OPAL_BUILD_DIR/bin" name
  for name in "$OPAL_PROGRAM" Language/Lexidra.so "$OPAL_PLUGIN_UI"; do
    [ -f "$bin/$name" ] || opal_die "$bin/$name is missing: build first"
  done
  rm -rf "$OPAL_DEMO_DIR"
  mkdir -p "$OPAL_DEMO_DIR/Language"
  cp "$bin/$OPAL_PROGRAM" "$bin/$OPAL_PLUGIN_UI" "$OPAL_DEMO_DIR/"
  cp "$bin/Language/Lexidra.so" "$OPAL_DEMO_DIR/Language/"
  for name in AgentSysConfig.xml AgentLocalConfig.xml AgentWorkConfig.xml AgentStatus.xml \
    SettingToolSysConfig.xml; do
    opal_copy_document "$name"
  done
  sed -i -e "s|<Language>[0-9]*</Language>|<Language>$language</Language>|" \
    "$OPAL_DEMO_DIR/SettingToolSysConfig.xml"

  # The path must be absolute: the tool changes into its own directory.
  export OPAL_REGISTRY_ROOT="$OPAL_DEMO_DIR/registry"
  opal_set_registry_value AgentStatus 1
  opal_set_registry_value ToolTag 0
}

opal_display_usable() {
  [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1
}

# A virtual screen on a display number the X server picks itself, exported as
# DISPLAY. Prints nothing; OPAL_XVFB_DISPLAY holds the number.
opal_start_xvfb() {
  local fifo number="" i
  fifo="$OPAL_TMP/displayfd"
  mkfifo "$fifo"
  # A white screen (-wr) rather than X's black: pictures read as on a desktop.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -wr 3>"$fifo" >"$OPAL_TMP/xvfb.log" 2>&1 &
  opal_track $!
  read -r -t 15 number <"$fifo" || true
  [ -n "$number" ] || opal_die "Xvfb did not start: $(cat "$OPAL_TMP/xvfb.log")"
  export DISPLAY=":$number"
  OPAL_XVFB_DISPLAY="$number"
  for i in $(seq 50); do
    xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  opal_die "display $DISPLAY does not answer"
}

# An XEmbed tray host docked at the top right corner of the screen.
opal_start_trayer() {
  trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
    --SetPartialStrut false --transparent false --tint 0xdddddd --expand false \
    >"$OPAL_TMP/trayer.log" 2>&1 &
  OPAL_TRAYER_PID=$!
  opal_track "$OPAL_TRAYER_PID"
  local i
  for i in $(seq 50); do
    # trayer's dock window is named "panel"; its other windows are 10x10
    # leaders off screen.
    OPAL_TRAYER_WINDOW="$(xdotool search --all --pid "$OPAL_TRAYER_PID" --name '^panel$' 2>/dev/null |
      sed -n 1p || true)"
    [ -n "$OPAL_TRAYER_WINDOW" ] && return 0
    sleep 0.1
  done
  opal_die "trayer did not show its window: $(cat "$OPAL_TMP/trayer.log")"
}

# The tool's icon window docked in trayer, or nothing.
opal_tray_icon_window() {
  xwininfo -tree -id "$OPAL_TRAYER_WINDOW" 2>/dev/null |
    awk -v name="\"$OPAL_PROGRAM\":" '$2 == name && !found {print $1; found = 1}'
}

# Waits up to $1 seconds for the icon; prints its window id.
opal_wait_tray_icon() {
  local deadline=$((SECONDS + $1)) window
  while [ "$SECONDS" -lt "$deadline" ]; do
    window="$(opal_tray_icon_window)"
    if [ -n "$window" ]; then printf '%s' "$window"; return 0; fi
    sleep 0.05
  done
  return 1
}

# Absolute centre of a window: "X Y".
opal_window_centre() {
  xwininfo -id "$1" | awk '
    /Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
    /Width:/ {w = $NF} /Height:/ {h = $NF}
    END {printf "%d %d\n", x + w / 2, y + h / 2}'
}

# The middle of a window's lowest row: "X Y".
opal_window_bottom() {
  xwininfo -id "$1" | awk '
    /Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
    /Width:/ {w = $NF} /Height:/ {h = $NF}
    END {printf "%d %d\n", x + w / 2, y + h - 1}'
}

# A private message bus with the stand-in for systemd's manager (the one the
# service tests use), made the system bus of everything started afterwards.
opal_start_fake_systemd() {
  local fake="$OPAL_BUILD_DIR/tests/platform/system/opal_fake_systemd" dir i address=""
  [ -x "$fake" ] || opal_die "$fake is missing: build the opal_fake_systemd target"
  dir="$OPAL_TMP"
  cat >"$dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
EOF
  dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile --print-address=1 \
    >"$dir/bus.address" 2>"$dir/bus.log" &
  opal_track $!
  for i in $(seq 100); do
    address="$(head -n1 "$dir/bus.address" 2>/dev/null || true)"
    [ -n "$address" ] && break
    sleep 0.05
  done
  [ -n "$address" ] || opal_die "dbus-daemon did not start: $(cat "$dir/bus.log")"
  "$fake" "$address" >"$dir/fake.out" 2>"$dir/fake.log" &
  opal_track $!
  for i in $(seq 100); do
    grep -q READY "$dir/fake.out" 2>/dev/null && break
    sleep 0.05
  done
  grep -q READY "$dir/fake.out" || opal_die "the fake systemd did not start: $(cat "$dir/fake.log")"
  export DBUS_SYSTEM_BUS_ADDRESS="$address"
}

# (Re)defines the demo's agent unit on the fake, "active" or "inactive". The
# tool's Start / Stop / Restart then move it between the two.
opal_fake_unit() {
  dbus-send --bus="$DBUS_SYSTEM_BUS_ADDRESS" --print-reply=literal --dest=org.freedesktop.systemd1 \
    /org/opal/test/FakeSystemd org.opal.test.FakeSystemd.AddUnit \
    "string:$OPAL_SERVICE_UNIT" string:loaded "string:$1" string:active string:inactive >/dev/null
}

# Starts the tool from the demo home; OPAL_TOOL_PID holds its process id.
opal_start_tool() {
  local unset=()
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR="$OPAL_TMP/runtime"
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
  fi
  # On our own virtual screen trayer is the tray: a desktop session bus with
  # a StatusNotifierItem host would take the icon away from it.
  if [ -n "${OPAL_XVFB_DISPLAY:-}" ]; then unset=(-u DBUS_SESSION_BUS_ADDRESS); fi
  env "${unset[@]}" "$OPAL_DEMO_DIR/$OPAL_PROGRAM" >>"$OPAL_DEMO_DIR/opal-agent-setting.out" 2>&1 &
  OPAL_TOOL_PID=$!
  opal_track "$OPAL_TOOL_PID"
}

opal_tool_log() {
  printf '%s' "$OPAL_DEMO_DIR/log/OPALAgentSetting.log"
}

# Asks the tool to leave the way the agent does (ToolTag 1), waits for it and
# stops it by force only when it has not left within 15 seconds.
opal_end_tool() {
  local _
  opal_set_registry_value ToolTag 1
  for _ in $(seq 150); do
    if ! kill -0 "$OPAL_TOOL_PID" 2>/dev/null; then
      wait "$OPAL_TOOL_PID" 2>/dev/null || true
      return 0
    fi
    sleep 0.1
  done
  opal_log "warning: the tool did not leave on ToolTag 1 within 15 s; stopping it"
  opal_stop_pid "$OPAL_TOOL_PID"
}
