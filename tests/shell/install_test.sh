#!/usr/bin/env bash
# The install layout's desktop entries: valid by the freedesktop rules and
# naming the installed program, the "Configure" action with --configure.
#   install_test.sh <build directory> <install prefix>
set -euo pipefail
build="$1" prefix="$2"
if ! command -v desktop-file-validate >/dev/null; then
  echo "SKIP: desktop-file-validate is not installed (Debian's desktop-file-utils)"
  exit 77
fi
root="$(mktemp -d /tmp/opal-install-test.XXXXXX)"
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" >"$root.log" 2>&1 || { cat "$root.log"; exit 1; }
rm -f "$root.log"

# The entries name the program as installed, outside the staging root.
program="/opt/opal4hbs/opal-agent-setting"
entry="$root$prefix/share/applications/opal-agent-setting.desktop"
autostart="$root/etc/xdg/autostart/opal-agent-setting.desktop"
status=0
fail() { echo "FAIL: $*"; status=1; }

[ -x "$root$program" ] || fail "no program at $root$program"
[ "$(readlink "$root$prefix/bin/opal-agent-setting")" = "$program" ] || fail "bin/ does not link $program"
for file in "$entry" "$autostart"; do
  [ -f "$file" ] || { fail "missing $file"; continue; }
  out="$(desktop-file-validate "$file" 2>&1)" || fail "desktop-file-validate $file: $out"
  # Hints are fine; errors and warnings are not.
  if grep -qE 'error:|warning:' <<<"$out"; then fail "$file: $out"; fi
  grep -qx "Exec=$program" "$file" || fail "$file does not run $program"
done
# The action is declared in the entry's group and runs the sheet at once.
grep -qx 'Actions=Configure;' "$entry" || fail "no Configure action declared"
sed -n '/^\[Desktop Action Configure\]$/,/^\[/p' "$entry" | grep -qx "Exec=$program --configure" ||
  fail "the Configure action does not run $program --configure"
if grep -q '^Actions=' "$autostart"; then fail "the autostart entry has actions"; fi
[ "$status" -eq 0 ] && echo "desktop entries: ok"
exit "$status"
