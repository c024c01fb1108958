#!/usr/bin/env bash
# Times the connection test against the loopback servlet server and, in the
# same run, the same POST made by the curl command; prints both medians and
# their ratio. Not a test: nothing passes or fails on the numbers.
#
#   benchmarks/connection_test_bench.sh [build directory] [runs]
#
# The build directory (default: build) must hold the connection_test_bench
# target: cmake --build build --target connection_test_bench
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
runs=${2:-50}
bench="$build/tests/comm/connection_test_bench"
if [ ! -x "$bench" ]; then
  echo "no $bench: cmake --build $build --target connection_test_bench" >&2
  exit 2
fi
for tool in python3 curl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

guid="6B1F0E2D-93C4-4A57-B8E6-0D2C4F6A8B10"
plugin_type=3
path="/opalCommunicatorServer/DataPortServlet"
mkdir -p "$work/home" "$work/requests"
cat > "$work/home/AgentSysConfig.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<AgentSysConfig>
<AgentGUID>$guid</AgentGUID><AgentName>Bench</AgentName><Version>1</Version>
<ServicePackVersion>0</ServicePackVersion><Build>0</Build><Language>0</Language>
<HomeDirectory>$work/home</HomeDirectory><AgentServiceName>opal-agent</AgentServiceName>
<AgentServiceDispName>Opal Agent</AgentServiceDispName><PluginDllName>p.so</PluginDllName>
<PluginUIDllName>pui.so</PluginUIDllName><AgentType>10</AgentType><PluginVersion>1</PluginVersion>
<PluginSPVersion>0</PluginSPVersion><PluginHotfixVersion>0</PluginHotfixVersion>
<PluginType>$plugin_type</PluginType>
</AgentSysConfig>
XML

python3 tests/comm/servlet_server.py --port-file "$work/port" --record-dir "$work/requests" \
  2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
url="http://127.0.0.1:$port$path"

"$bench" --write-body "$work/body" "$guid" "$plugin_type"

# Each connection test runs in-process (transfer set-up, identity load, POST,
# answer check); each curl run is a whole process, as a script would use it.
"$bench" "$work/home" 127.0.0.1 "$port" "$path" "$runs" > "$work/engine.txt"
# curl's own time_total (the transfer alone) is kept as well.
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  transfer=$(curl -sS -o /dev/null -w '%{time_total}' --data-binary @"$work/body" "$url")
  end=$(date +%s%N)
  echo "$(( end - start )) $transfer" | awk '{ printf "%.6f %s\n", $1 / 1e9, $2 }'
done > "$work/curl.txt"

python3 - "$work/engine.txt" "$work/curl.txt" "$runs" <<'PY'
import statistics, sys
engine = [float(x) for x in open(sys.argv[1])]
rows = [line.split() for line in open(sys.argv[2])]
curl = [float(r[0]) for r in rows]
transfer = [float(r[1]) for r in rows]
me, mc, mt = statistics.median(engine), statistics.median(curl), statistics.median(transfer)
print("runs:                               %s each" % sys.argv[3])
print("connection test median:             %.3f ms" % (me * 1000))
print("curl command median:                %.3f ms" % (mc * 1000))
print("ratio (connection test/curl):       %.2f" % (me / mc if mc else float("nan")))
print("curl transfer alone (time_total):   %.3f ms" % (mt * 1000))
print("ratio (connection test/transfer):   %.2f" % (me / mt if mt else float("nan")))
PY

# A server that answers with 20 MB: the test keeps at most 256 KiB and ends
# the transfer there, so it should cost about what a normal answer costs,
# not what reading the whole answer costs (curl, in the same run, reads it
# all into /dev/null).
mkdir -p "$work/big-requests"
python3 tests/comm/servlet_server.py --port-file "$work/big-port" \
  --record-dir "$work/big-requests" --body bytes --length 20000000 2>"$work/big-server.log" &
big_pid=$!
for _ in $(seq 100); do [ -s "$work/big-port" ] && break; sleep 0.05; done
big_port=$(cat "$work/big-port")
"$bench" "$work/home" 127.0.0.1 "$big_port" "$path" 3 > "$work/big-engine.txt" 2>/dev/null || true
big_start=$(date +%s%N)
curl -sS -o /dev/null --data-binary @"$work/body" "http://127.0.0.1:$big_port$path"
big_end=$(date +%s%N)
kill "$big_pid" 2>/dev/null || true
python3 - "$work/big-engine.txt" "$big_start" "$big_end" "$work/engine.txt" <<'PY'
import statistics, sys
big = [float(x) for x in open(sys.argv[1])]
curl = (int(sys.argv[3]) - int(sys.argv[2])) / 1e9
normal = statistics.median(float(x) for x in open(sys.argv[4]))
mb = statistics.median(big)
print("20 MB answer, connection test:      %.3f ms (ended at 256 KiB)" % (mb * 1000))
print("20 MB answer, curl reading it all:  %.3f ms" % (curl * 1000))
print("ratio (20 MB test/normal test):     %.2f" % (mb / normal if normal else float("nan")))
print("ratio (20 MB test/curl):            %.2f" % (mb / curl if curl else float("nan")))
PY
