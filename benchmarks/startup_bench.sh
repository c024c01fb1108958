#!/usr/bin/env bash
# Start-up and idle cost of the tray program, on the demo agent home:
#   - time from exec to the icon docked in the tray (median, min and max of
#     several starts);
#   - resident memory (VmRSS) after 30 seconds idle;
#   - CPU time (user + system) used over the following 60 seconds idle.
# Not a test: nothing passes or fails on the numbers, and CI does not run it.
#
#   benchmarks/startup_bench.sh [starts]      (default 5; OPAL_BUILD_DIR picks
#                                             the build, default build/)
#
# The program runs on a virtual display of its own (Xvfb) with trayer as the
# XEmbed tray, against the stand-in systemd of the tests with the agent's
# unit running, so the status monitor's polls do their usual work.
set -euo pipefail
# shellcheck source=scripts/demo/common.sh
source "$(dirname "$0")/../scripts/demo/common.sh"
opal_init

starts="${1:-5}"
case "$starts" in '' | *[!0-9]* | 0) opal_die "starts must be a positive number" ;; esac
IDLE_BEFORE_RSS=30
IDLE_CPU_WINDOW=60

opal_build "$OPAL_PROGRAM" lexidra opal_sample_plugin_ui opal_fake_systemd >&2
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

read -r median min max < <(printf '%s\n' "${times_ms[@]}" | sort -n |
  awk '{v[NR] = $1} END {m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
        printf "%d %d %d\n", m, v[1], v[NR]}')

opal_log "idle for ${IDLE_BEFORE_RSS} s..."
sleep "$IDLE_BEFORE_RSS"
kill -0 "$OPAL_TOOL_PID" 2>/dev/null || opal_die "the tool ended while idle"
rss_kb="$(awk '/^VmRSS:/ {print $2}' "/proc/$OPAL_TOOL_PID/status")"
hwm_kb="$(awk '/^VmHWM:/ {print $2}' "/proc/$OPAL_TOOL_PID/status")"
threads="$(awk '/^Threads:/ {print $2}' "/proc/$OPAL_TOOL_PID/status")"

opal_log "measuring CPU over ${IDLE_CPU_WINDOW} s idle..."
ticks_before="$(cpu_ticks "$OPAL_TOOL_PID")"
sleep "$IDLE_CPU_WINDOW"
kill -0 "$OPAL_TOOL_PID" 2>/dev/null || opal_die "the tool ended while idle"
ticks_after="$(cpu_ticks "$OPAL_TOOL_PID")"
hz="$(getconf CLK_TCK)"
cpu_ms=$(((ticks_after - ticks_before) * 1000 / hz))
opal_end_tool

cat <<EOF
opal-agent-setting start-up and idle cost ($(uname -m), $(nproc) CPUs, build $(basename "$OPAL_BUILD_DIR"))
  start to tray icon:       median $median ms, min $min ms, max $max ms over $starts starts
  resident memory:          $((rss_kb / 1024)).$(((rss_kb % 1024) * 10 / 1024)) MiB VmRSS after ${IDLE_BEFORE_RSS} s idle (peak VmHWM $((hwm_kb / 1024)) MiB, $threads threads)
  CPU time while idle:      $cpu_ms ms user+system over ${IDLE_CPU_WINDOW} s ($(awk -v c="$cpu_ms" -v w="$IDLE_CPU_WINDOW" 'BEGIN {printf "%.3f", c / (w * 10)}') % of one CPU; resolution $((1000 / hz)) ms)
EOF
