#!/usr/bin/env bash
# Pictures of the tray menu for people: English and Japanese, with the agent
# service stopped and running, plus the "Select Language" sub-menu. Written to
# screenshots/tray/ as PNG files.
#
#   scripts/screenshots-tray.sh
#
# Everything runs on a virtual display of its own (Xvfb) with trayer as the
# XEmbed tray, whatever DISPLAY says; the agent service lives on the stand-in
# systemd of the tests, on a private bus. Builds into build/ like run.sh and
# uses the demo agent home (demo/).
set -euo pipefail
# shellcheck source=scripts/demo/common.sh
source "$(dirname "$0")/demo/common.sh"
opal_init

OUT="$OPAL_ROOT/screenshots/tray"
# The top right corner of the screen: the tray, the menu and its sub-menu.
CROP_WIDTH=440
CROP_HEIGHT=200

opal_build "$OPAL_PROGRAM" lexidra opal_sample_plugin_ui opal_fake_systemd
mkdir -p "$OUT"
opal_start_fake_systemd
opal_start_xvfb
opal_start_trayer

shoot() {
  local file="$OUT/$1" width
  width="$(xdpyinfo | awk '/dimensions:/ {split($2, d, "x"); print d[1]}')"
  import -window root "$OPAL_TMP/screen.png"
  convert "$OPAL_TMP/screen.png" -crop "${CROP_WIDTH}x${CROP_HEIGHT}+$((width - CROP_WIDTH))+0" \
    +repage "$file"
  opal_log "wrote ${file#"$OPAL_ROOT"/}"
}

# Waits until a pop-up window of the tool is on screen: the menu is open. The
# tool's other top-level windows are 1x1 or off screen; the icon is in trayer.
wait_menu() {
  local i id
  for i in $(seq 50); do
    for id in $(xwininfo -root -children |
      awk -v name="\"$OPAL_PROGRAM\":" '$2 == name {
        for (f = 3; f <= NF; f++) if ($f ~ /^[0-9]+x[0-9]+[+-]/) break
        split($f, g, /[x+-]/); if (g[1] > 40) print $1 }'); do
      [[ "$(xwininfo -id "$id")" == *"Map State: IsViewable"* ]] && return 0
    done
    sleep 0.1
  done
  opal_die "the tray menu did not open"
}

# One run of the tool: language (en/ja), service state (stopped/running).
session() {
  local lang="$1" state="$2" number=0 window x y _
  [ "$lang" = ja ] && number=$OPAL_JAPANESE
  opal_layout_demo "$number"
  if [ "$state" = running ]; then opal_fake_unit active; else opal_fake_unit inactive; fi
  opal_start_tool
  window="$(opal_wait_tray_icon 20)" || opal_die "no tray icon; see $OPAL_DEMO_DIR/opal-agent-setting.out"
  if [ "$state" = stopped ]; then
    # The agent claims to work (AgentStatus 1) while its service is down: the
    # status monitor notices at its next poll, writes 16 and turns the icon to
    # the problem icon. Shoot once that happened, as a user would see it.
    for _ in $(seq 150); do
      [ "$(opal_registry_value AgentStatus)" = 16 ] && break
      sleep 0.1
    done
    sleep 0.5
  else
    sleep 1
  fi
  # Resting on the icon shows its tip.
  read -r x y < <(opal_window_centre "$window")
  xdotool mousemove "$x" "$y"
  sleep 1.5
  shoot "$lang-service-$state-tip.png"
  # Clicked at its lower edge, the menu opens below the icon and leaves it in
  # sight.
  read -r x y < <(opal_window_bottom "$window")
  xdotool mousemove "$x" "$y" click 3
  wait_menu
  sleep 0.5
  shoot "$lang-service-$state.png"
  if [ "$state" = stopped ]; then
    # Down, Down: "Select Language"; Right opens it.
    xdotool key Down Down Right
    sleep 0.8
    shoot "$lang-select-language.png"
  fi
  xdotool key Escape Escape
  sleep 0.3
  opal_end_tool
}

for lang in en ja; do
  for state in stopped running; do
    session "$lang" "$state"
  done
done
opal_log "done: $(find "$OUT" -name '*.png' | wc -l) pictures in ${OUT#"$OPAL_ROOT"/}"
