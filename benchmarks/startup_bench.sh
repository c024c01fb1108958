#!/usr/bin/env bash
# Start-up and idle cost of the tray program, on the demo agent home, side by
# side with a bare Qt tray program (benchmarks/BareTray.cpp: an icon and a
# six-item menu, built here with the same compiler):
#   - time from exec to the icon docked in the tray (median, min and max of
#     several starts);
#   - resident memory (VmRSS) after 30 seconds idle;
#   - CPU time (user + system) used over the following 60 seconds idle;
# and the ratio of each of the tool's figures to the bare program's.
# Not a test: nothing passes or fails on the numbers, and CI does not run it.
#
#   benchmarks/startup_bench.sh [starts]      (default 5; OPAL_BUILD_DIR picks
#                                             the build, default build/)
#
# Both programs run on a virtual display of their own (Xvfb) with trayer as
# the XEmbed tray; the tool runs against the stand-in systemd of the tests
# with the agent's unit running, so the status monitor's polls do their usual
# work. The two idle at the same time.
set -euo pipefail
# shellcheck source=scripts/demo/common.sh
source "$(dirname "$0")/../scripts/demo/common.sh"
opal_init

starts="${1:-5}"
case "$starts" in '' | *[!0-9]* | 0) opal_die "starts must be a positive number" ;; esac
IDLE_BEFORE_RSS=30
IDLE_CPU_WINDOW=60

opal_build "$OPAL_PROGRAM" lexidra opal_sample_plugin_ui opal_fake_systemd >&2

# The bare program, rebuilt whenever its source is newer.
BARE_SOURCE="$OPAL_ROOT/benchmarks/BareTray.cpp"
BARE_PROGRAM="$OPAL_BUILD_DIR/benchmarks/opal-bare-tray"
BARE_ICON="$OPAL_ROOT/res/icon/128/22.png"
if [ ! -x "$BARE_PROGRAM" ] || [ "$BARE_SOURCE" -nt "$BARE_PROGRAM" ]; then
  mkdir -p "$(dirname "$BARE_PROGRAM")"
  # shellcheck disable=SC2046 # pkg-config prints several words
  c++ -std=c++17 -O2 -g -fPIC "$BARE_SOURCE" -o "$BARE_PROGRAM" \
    $(pkg-config --cflags --libs Qt6Widgets)
fi

opal_layout_demo 0
opal_start_fake_systemd
opal_fake_unit active
opal_start_xvfb
opal_start_trayer

now_ns() { date +%s%N; }

# utime + stime of a process, in clock ticks (fields 14 and 15 of stat; the
# command name in field 2 may hold blanks, so count from its closing bracket).
cpu_ticks() {
  local stat
  stat="$(cat "/proc/$1/stat")"
  stat="${stat##*) }"
  awk '{print $12 + $13}' <<<"$stat"
}

status_field() { awk -v f="$2:" '$1 == f {print $2}' "/proc/$1/status"; }

# The bare program's icon window docked in trayer, or nothing.
bare_icon_window() {
  xwininfo -tree -id "$OPAL_TRAYER_WINDOW" 2>/dev/null |
    awk -v name="\"$(basename "$BARE_PROGRAM")\":" '$2 == name && !found {print $1; found = 1}'
}

wait_bare_icon() {
  local deadline=$((SECONDS + $1))
  while [ "$SECONDS" -lt "$deadline" ]; do
    [ -n "$(bare_icon_window)" ] && return 0
    sleep 0.05
  done
  return 1
}

# "median min max" of the numbers on standard input.
median_min_max() {
  sort -n | awk '{v[NR] = $1} END {m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
        printf "%d %d %d\n", m, v[1], v[NR]}'
}

# a / b with two decimals; "-" when b is 0.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b == 0) print "-"; else printf "%.2f\n", a / b}'; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }

times_ms=()
for run in $(seq "$starts"); do
  opal_set_registry_value ToolTag 0
  begin="$(now_ns)"
  opal_start_tool
  opal_wait_tray_icon 30 >/dev/null ||
    opal_die "no tray icon within 30 s; see $OPAL_DEMO_DIR/opal-agent-setting.out"
  end="$(now_ns)"
  times_ms+=("$(((end - begin) / 1000000))")
  opal_log "start $run: ${times_ms[-1]} ms to the tray icon"
  # The last start stays up for the idle measurements.
  if [ "$run" -lt "$starts" ]; then opal_end_tool; fi
done
read -r median min max < <(printf '%s\n' "${times_ms[@]}" | median_min_max)

bare_ms=()
for run in $(seq "$starts"); do
  begin="$(now_ns)"
  "$BARE_PROGRAM" "$BARE_ICON" >"$OPAL_TMP/bare.out" 2>&1 &
  BARE_PID=$!
  opal_track "$BARE_PID"
  wait_bare_icon 30 || opal_die "no bare tray icon within 30 s; see $OPAL_TMP/bare.out"
  end="$(now_ns)"
  bare_ms+=("$(((end - begin) / 1000000))")
  opal_log "bare start $run: ${bare_ms[-1]} ms to the tray icon"
  if [ "$run" -lt "$starts" ]; then opal_stop_pid "$BARE_PID"; fi
done
read -r bare_median bare_min bare_max < <(printf '%s\n' "${bare_ms[@]}" | median_min_max)

alive() {
  local pid
  for pid in "$OPAL_TOOL_PID" "$BARE_PID"; do
    kill -0 "$pid" 2>/dev/null || opal_die "a program ended while idle"
  done
}

opal_log "idle for ${IDLE_BEFORE_RSS} s..."
sleep "$IDLE_BEFORE_RSS"
alive
rss_kb="$(status_field "$OPAL_TOOL_PID" VmRSS)"
hwm_kb="$(status_field "$OPAL_TOOL_PID" VmHWM)"
threads="$(status_field "$OPAL_TOOL_PID" Threads)"
bare_rss_kb="$(status_field "$BARE_PID" VmRSS)"
bare_hwm_kb="$(status_field "$BARE_PID" VmHWM)"
bare_threads="$(status_field "$BARE_PID" Threads)"

opal_log "measuring CPU over ${IDLE_CPU_WINDOW} s idle..."
ticks_before="$(cpu_ticks "$OPAL_TOOL_PID")"
bare_ticks_before="$(cpu_ticks "$BARE_PID")"
sleep "$IDLE_CPU_WINDOW"
alive
ticks_after="$(cpu_ticks "$OPAL_TOOL_PID")"
bare_ticks_after="$(cpu_ticks "$BARE_PID")"
hz="$(getconf CLK_TCK)"
cpu_ms=$(((ticks_after - ticks_before) * 1000 / hz))
bare_cpu_ms=$(((bare_ticks_after - bare_ticks_before) * 1000 / hz))
opal_end_tool
opal_stop_pid "$BARE_PID"

row() { printf '  %-22s %-34s %-34s %s\n' "$@"; }
echo "start-up and idle cost ($(uname -m), $(nproc) CPUs, build $(basename "$OPAL_BUILD_DIR"), $starts starts each)"
row "" "opal-agent-setting" "bare Qt tray" "ratio"
row "start to tray icon" "median $median ms (min $min, max $max)" \
  "median $bare_median ms (min $bare_min, max $bare_max)" "$(ratio "$median" "$bare_median")"
row "VmRSS after ${IDLE_BEFORE_RSS} s idle" "$(mib "$rss_kb") MiB (peak $(mib "$hwm_kb"), $threads thr.)" \
  "$(mib "$bare_rss_kb") MiB (peak $(mib "$bare_hwm_kb"), $bare_threads thr.)" "$(ratio "$rss_kb" "$bare_rss_kb")"
row "CPU over ${IDLE_CPU_WINDOW} s idle" "$cpu_ms ms user+system" "$bare_cpu_ms ms user+system" \
  "$(ratio "$cpu_ms" "$bare_cpu_ms")"
echo "  (CPU time resolution $((1000 / hz)) ms)"
