#!/usr/bin/env bash
# Runs the tray program on a demo agent home.
#
#   scripts/run.sh                 English
#   scripts/run.sh --lang ja       Japanese saved as the tool's language
#   scripts/run.sh --fake-service  a stand-in service manager even where the
#                                  system has one (it is used anyway where
#                                  there is no system bus)
#
# Installs what is missing, builds into build/ (as scripts/test.sh does),
# lays out demo/ at the top of the tree (a copy of the program, its Japanese
# library, the sample plug-in, the agent's documents and a registry root) and
# starts the tool there, in the foreground: Ctrl-C or "Exit" in its menu ends
# it. demo/ is laid out afresh on every run.
#
# Without a usable display it starts a virtual one (Xvfb) with an XEmbed tray
# host (trayer) and prints how to look at it.
set -euo pipefail
# shellcheck source=scripts/demo/common.sh
source "$(dirname "$0")/demo/common.sh"

language=0
fake_service=auto
while [ "$#" -gt 0 ]; do
  case "$1" in
    --lang)
      case "${2:-}" in
        en) language=0 ;;
        ja) language=$OPAL_JAPANESE ;;
        *) opal_die "--lang takes en or ja" ;;
      esac
      shift 2 ;;
    --fake-service) fake_service=yes; shift ;;
    -h | --help) sed -n '2,17p' "$0"; exit 0 ;;
    *) opal_die "unknown option $1 (try --help)" ;;
  esac
done

opal_init

# The stand-in service manager comes from the test tree (tests are on by
# default in the build).
opal_build "$OPAL_PROGRAM" lexidra opal_sample_plugin_ui opal_fake_systemd
opal_layout_demo "$language"

# The agent service: the system's own manager when there is a system bus,
# else the stand-in, on which the demo's unit starts out running.
if [ "$fake_service" = auto ] && [ -z "${DBUS_SYSTEM_BUS_ADDRESS:-}" ] &&
  [ ! -S /run/dbus/system_bus_socket ]; then
  fake_service=yes
fi
if [ "$fake_service" = yes ]; then
  opal_start_fake_systemd
  opal_fake_unit active
fi

if ! opal_display_usable; then
  opal_start_xvfb
  opal_start_trayer
fi

opal_start_tool
cat <<EOF

OPAL Agent Setting runs (pid $OPAL_TOOL_PID) on the demo agent home
  $OPAL_DEMO_DIR
  log:        $(opal_tool_log)
  registry:   $OPAL_REGISTRY_ROOT/$OPAL_REGISTRY_SUBKEY
EOF
if [ "$fake_service" = yes ]; then
  cat <<EOF
  service:    $OPAL_SERVICE_UNIT on a stand-in systemd, running; the menu's
              Start / Stop / Restart Service act on it
              (DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS)
EOF
fi
if [ -n "${OPAL_XVFB_DISPLAY:-}" ]; then
  if window="$(opal_wait_tray_icon 15)"; then
    read -r x y < <(opal_window_centre "$window")
    where="the tray icon is at $x,$y"
  else
    where="no tray icon yet: see $OPAL_DEMO_DIR/opal-agent-setting.out"
  fi
  cat <<EOF

No display was usable, so the tool runs on the virtual display $DISPLAY with
trayer as its tray ($where). To look at it from another shell:
  screenshot:      DISPLAY=$DISPLAY import -window root shot.png
  open the menu:   DISPLAY=$DISPLAY xdotool mousemove ${x:-X} ${y:-Y} click 3
  agent exit:      printf 1 > $OPAL_REGISTRY_ROOT/$OPAL_REGISTRY_SUBKEY/ToolTag
EOF
fi
printf '\nCtrl-C ends the tool.\n'

status=0
wait "$OPAL_TOOL_PID" || status=$?
printf 'The tool ended (exit status %s).\n' "$status"
exit "$status"
