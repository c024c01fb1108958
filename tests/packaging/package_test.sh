#!/usr/bin/env bash
# The Debian package, built by cpack from the build directory and installed
# with the real dpkg into a scratch root (its own dpkg database; the
# maintainer scripts run with DPKG_ROOT): lintian's verdict, the files and
# their modes, the group and modes the postinst sets up, the polkit rule's
# decisions, and what a purge leaves.
#   package_test.sh <build directory> <admin group> <agent unit>
set -euo pipefail
build="$1" group="$2" unit="$3"
for tool in cpack dpkg lintian; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ "$(id -u)" -eq 0 ] || { echo "SKIP: dpkg --root needs root for the owners it sets"; exit 77; }

work="$(mktemp -d /tmp/opal-package-test.XXXXXX)"
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
deb="$(ls "$work"/out/*.deb)"
ls "$work"/out/*-dbgsym_*.ddeb >/dev/null 2>&1 || fail "no debug symbol package"

# lintian: nothing but its note about running as root.
lint="$(lintian "$deb" 2>&1 | grep -v 'running with root privileges' || true)"
[ -z "$lint" ] || fail "lintian: $lint"

# Dependencies computed from the binaries.
depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libc6 libcurl4 libqt6widgets6 libxerces-c3.2 libsystemd0 libssl3; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

# Files and their modes as shipped (owner and group root throughout).
listing="$(dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }')"
expect_entry() { # mode path
  grep -qx -- "$1 root/root ./$2" <<<"$listing" || fail "package lacks $1 $2"
}
expect_entry -rwxr-xr-x opt/opal4hbs/opal-agent-setting
if [ -f "$build/bin/opal-agent-ctl" ]; then
  expect_entry -rwxr-xr-x opt/opal4hbs/opal-agent-ctl
  expect_entry -rw-r--r-- usr/share/man/man1/opal-agent-ctl.1.gz
  expect_entry -rw-r--r-- usr/share/bash-completion/completions/opal-agent-ctl
  grep -q ' ./usr/bin/opal-agent-ctl -> /opt/opal4hbs/opal-agent-ctl$' \
    < <(dpkg-deb -c "$deb") || fail "no link to opal-agent-ctl from /usr/bin"
fi
expect_entry -rw-r--r-- opt/opal4hbs/Language/Lexidra.so
expect_entry drwxr-xr-x opt/opal4hbs/log/
expect_entry -rw-r--r-- usr/share/applications/opal-agent-setting.desktop
expect_entry -rw-r--r-- etc/xdg/autostart/opal-agent-setting.desktop
expect_entry -rw-r--r-- usr/share/icons/hicolor/48x48/apps/opal-agent-setting.png
expect_entry -rw-r--r-- usr/share/icons/hicolor/scalable/apps/opal-agent-setting.svg
expect_entry -rw-r--r-- usr/share/man/man1/opal-agent-setting.1.gz
expect_entry -rw-r--r-- usr/share/polkit-1/rules.d/50-opal-agent-setting.rules
expect_entry -rwxr-xr-x usr/share/opal-agent-setting/setup-permissions
expect_entry -rw-r--r-- usr/share/doc/opal-agent-setting/copyright
grep -q ' ./usr/bin/opal-agent-setting -> /opt/opal4hbs/opal-agent-setting$' \
  < <(dpkg-deb -c "$deb") || fail "no link from /usr/bin"
grep -q 'libOpalSamplePluginUI' <<<"$listing" && fail "the demo's sample plug-in is packaged"
# Stripped: no debug sections left in the programs.
dpkg-deb -x "$deb" "$work/x"
for program in "$work"/x/opt/opal4hbs/opal-agent-*; do
  if readelf -S "$program" | grep -q '\.debug_'; then fail "$program is not stripped"; fi
done
grep -qx '/etc/xdg/autostart/opal-agent-setting.desktop' < <(dpkg-deb --ctrl-tarfile "$deb" |
  tar -xO ./conffiles) || fail "the autostart entry is not a conffile"

# A scratch system: its own dpkg database, users and groups, and an agent
# already installed (its documents and registry values with the agent's
# own modes).
root="$work/root"
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers} "$root/etc"
: >"$root/var/lib/dpkg/status"; : >"$root/var/lib/dpkg/available"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
printf 'root:*:19000:0:99999:7:::\n' >"$root/etc/shadow"
printf 'root:x:0:\n' >"$root/etc/group"
printf 'root:*::\n' >"$root/etc/gshadow"
home="$root/opt/opal4hbs"
key="$root/var/lib/opal4hbs/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/OPAL4HBS/Agent"
mkdir -p "$home" "$key"
printf '<AgentLocalConfig/>\r\n' >"$home/AgentLocalConfig.xml"
printf '<AgentStatus/>\r\n' >"$home/AgentStatus.xml"
printf '1' >"$key/AgentStatus"
chmod 0600 "$home/AgentLocalConfig.xml"

dpkg_root() {
  dpkg --root="$root" --force-script-chrootless --force-depends --log="$work/dpkg.log" "$@"
}
dpkg_root -i "$deb" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg -i failed"; }

gid="$(awk -F: -v g="$group" '$1 == g { print $3 }' "$root/etc/group")"
[ -n "$gid" ] || fail "postinst made no group $group"
expect_mode() { # path mode
  local got
  got="$(stat -c '%a %u:%g' "$1" 2>/dev/null || echo missing)"
  [ "$got" = "$2 0:$gid" ] || fail "$1: $got, expected $2 0:$gid"
}
expect_mode "$home" 2775
expect_mode "$home/log" 2775
expect_mode "$home/AgentLocalConfig.xml" 660
expect_mode "$home/AgentStatus.xml" 664
expect_mode "$home/SettingToolSysConfig.xml" 664
expect_mode "$root/var/lib/opal4hbs/registry" 2775
expect_mode "$key" 2775
expect_mode "$key/AgentStatus" 664
printf '<?xml version="1.0" encoding="UTF-8"?>\r\n<SettingToolSysConfig>\r\n<Language>0</Language>\r\n</SettingToolSysConfig>\r\n' |
  cmp -s - "$home/SettingToolSysConfig.xml" || fail "SettingToolSysConfig.xml is not the template in CR LF"
# Running the set-up again (an upgrade) changes nothing and keeps the choice.
printf 'chosen' >>"$home/SettingToolSysConfig.xml"
DPKG_ROOT="$root" "$root/usr/share/opal-agent-setting/setup-permissions" ||
  fail "setup-permissions failed on its second run"
tail -c 6 "$home/SettingToolSysConfig.xml" | grep -qx chosen || fail "a second set-up replaced the tool's document"
[ "$(grep -c "^$group:" "$root/etc/group")" -eq 1 ] || fail "a second set-up added the group again"

# The polkit rule, run the way polkitd runs it: a member may start, stop
# and restart the agent's unit, and nothing else is decided by it.
rules="$root/usr/share/polkit-1/rules.d/50-opal-agent-setting.rules"
if command -v node >/dev/null; then
  verdicts="$(node - "$rules" "$group" "$unit" <<'JS'
const [rulesFile, group, unit] = process.argv.slice(2);
const rules = [];
const polkit = { Result: { YES: "yes", NO: "no", NOT_HANDLED: undefined },
                 addRule: (f) => rules.push(f) };
new Function("polkit", require("fs").readFileSync(rulesFile, "utf8"))(polkit);
const ask = (id, unitName, verb, groups) => {
  const action = { id, lookup: (k) => ({ unit: unitName, verb }[k]) };
  const subject = { isInGroup: (g) => groups.includes(g), user: "alice" };
  for (const r of rules) { const v = r(action, subject); if (v !== undefined) return v; }
  return "not-handled";
};
const m = "org.freedesktop.systemd1.manage-units";
console.log([
  ask(m, unit, "start", [group]), ask(m, unit, "stop", [group]), ask(m, unit, "restart", [group]),
  ask(m, unit, "start", ["users"]), ask(m, "ssh.service", "stop", [group]),
  ask(m, unit, "reload", [group]), ask("org.freedesktop.systemd1.manage-unit-files", unit, "start", [group]),
].join(" "));
JS
)"
  [ "$verdicts" = "yes yes yes not-handled not-handled not-handled not-handled" ] ||
    fail "polkit verdicts: $verdicts"
else
  fail "node is not installed: the polkit rule cannot be checked"
fi

# Purge: the package's files go, the agent's documents, registry values and
# the group stay, and so does nothing of the tool's own document.
dpkg_root -P opal-agent-setting >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg -P failed"; }
[ -e "$home/opal-agent-setting" ] && fail "purge left the program"
[ -e "$home/SettingToolSysConfig.xml" ] && fail "purge left the tool's own document"
for kept in "$home/AgentLocalConfig.xml" "$home/AgentStatus.xml" "$key/AgentStatus"; do
  [ -f "$kept" ] || fail "purge removed $kept"
done
grep -q "^$group:" "$root/etc/group" || fail "purge removed the group"

[ "$status" -eq 0 ] && echo "debian package: ok"
exit "$status"
