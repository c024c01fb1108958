#!/usr/bin/env bash
# The Debian package, built by cpack from the build directory and installed
# with the real dpkg into a scratch root (its own dpkg database; the
# maintainer scripts run with DPKG_ROOT): lintian's verdict, the files and
# their modes, the group and modes the postinst sets up, the polkit rule's
# decisions, and what a purge leaves.
#   package_test.sh <build directory> <admin group> <agent unit> <previous set-up script>
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
contents="$(dpkg-deb -c "$deb")"
listing="$(awk '{ print $1, $2, $6 }' <<<"$contents")"
expect_entry() { # mode path
  grep -qx -- "$1 root/root ./$2" <<<"$listing" || fail "package lacks $1 $2"
}
expect_entry -rwxr-xr-x opt/opal4hbs/opal-agent-setting
if [ -f "$build/bin/opal-agent-ctl" ]; then
  expect_entry -rwxr-xr-x opt/opal4hbs/opal-agent-ctl
  expect_entry -rw-r--r-- usr/share/man/man1/opal-agent-ctl.1.gz
  expect_entry -rw-r--r-- usr/share/bash-completion/completions/opal-agent-ctl
  grep -q ' ./usr/bin/opal-agent-ctl -> /opt/opal4hbs/opal-agent-ctl$' \
    <<<"$contents" || fail "no link to opal-agent-ctl from /usr/bin"
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
# The system helper: its program, activation, bus policy, unit and actions.
helper=
if [ -f "$build/bin/opal-agent-helper" ]; then
  helper=1
  expect_entry -rwxr-xr-x usr/libexec/opal-agent-setting/opal-agent-helper
  expect_entry -rw-r--r-- usr/share/dbus-1/system-services/org.opal.AgentSetting1.service
  expect_entry -rw-r--r-- usr/share/dbus-1/system.d/org.opal.AgentSetting1.conf
  expect_entry -rw-r--r-- lib/systemd/system/opal-agent-helper.service
  expect_entry -rw-r--r-- usr/share/polkit-1/actions/org.opal.agent.policy
fi
grep -q ' ./usr/bin/opal-agent-setting -> /opt/opal4hbs/opal-agent-setting$' \
  <<<"$contents" || fail "no link from /usr/bin"
grep -q 'libOpalSamplePluginUI' <<<"$listing" && fail "the demo's sample plug-in is packaged"
# Stripped: no debug sections left in the programs.
dpkg-deb -x "$deb" "$work/x"
for program in "$work"/x/opt/opal4hbs/opal-agent-* ${helper:+"$work"/x/usr/libexec/opal-agent-setting/opal-agent-helper}; do
  if readelf -S "$program" | grep -q '\.debug_'; then fail "$program is not stripped"; fi
done
if [ -n "$helper" ]; then
  # What polkit asks of whom, as the design fixes it: the settings ask an
  # active session for an administrator's password, the status protocol's
  # writes never ask.
  defaults="$(python3 - "$work/x/usr/share/polkit-1/actions/org.opal.agent.policy" <<'PY'
import sys, xml.etree.ElementTree as ET
for action in ET.parse(sys.argv[1]).getroot().iter("action"):
    d = action.find("defaults")
    print(action.get("id"), *(d.findtext(k) for k in ("allow_any", "allow_inactive", "allow_active")))
PY
)" || fail "the polkit actions are not well-formed XML"
  [ "$defaults" = "org.opal.agent.configure no no auth_admin_keep
org.opal.agent.report-status no no yes" ] || fail "polkit action defaults: $defaults"
  grep -qx "Exec=/usr/libexec/opal-agent-setting/opal-agent-helper.*" \
    "$work/x/usr/share/dbus-1/system-services/org.opal.AgentSetting1.service" ||
    fail "the activation file does not start the installed helper"
  grep -qx "SystemdService=opal-agent-helper.service" \
    "$work/x/usr/share/dbus-1/system-services/org.opal.AgentSetting1.service" ||
    fail "the activation file does not name the helper's unit"
  grep -q "^ExecStart=/usr/libexec/opal-agent-setting/opal-agent-helper" \
    "$work/x/lib/systemd/system/opal-agent-helper.service" || fail "the unit does not start the installed helper"
fi
grep -qx '/etc/xdg/autostart/opal-agent-setting.desktop' < <(dpkg-deb --ctrl-tarfile "$deb" |
  tar -xO ./conffiles) || fail "the autostart entry is not a conffile"

# A scratch system: its own dpkg database, users and groups, and an agent
# already installed (its documents and registry values with the agent's
# own modes).
make_root() { # directory
  local r="$1"
  mkdir -p "$r"/var/lib/dpkg/{info,updates,triggers} "$r/etc"
  : >"$r/var/lib/dpkg/status"; : >"$r/var/lib/dpkg/available"
  printf 'root:x:0:0:root:/root:/bin/sh\n' >"$r/etc/passwd"
  printf 'root:*:19000:0:99999:7:::\n' >"$r/etc/shadow"
  printf 'root:x:0:\n' >"$r/etc/group"
  printf 'root:*::\n' >"$r/etc/gshadow"
  local h="$r/opt/opal4hbs" k="$r/var/lib/opal4hbs/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/OPAL4HBS/Agent"
  mkdir -p "$h" "$k"
  printf '<AgentLocalConfig/>\r\n' >"$h/AgentLocalConfig.xml"
  printf '<AgentStatus/>\r\n' >"$h/AgentStatus.xml"
  printf '<AgentSysConfig/>\r\n' >"$h/AgentSysConfig.xml"
  printf '1' >"$k/AgentStatus"
  printf '0' >"$k/ToolTag"
  chmod 0600 "$h/AgentLocalConfig.xml"
}
# Members (and nobody else) must be able to reach the scratch roots.
chmod 0755 "$work"
root="$work/root"
make_root "$root"
home="$root/opt/opal4hbs"
registry="$root/var/lib/opal4hbs/registry"
key="$registry/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/OPAL4HBS/Agent"

dpkg_in() { # root dpkg-arguments...
  local r="$1"
  shift
  dpkg --root="$r" --force-script-chrootless --force-depends --log="$work/dpkg.log" "$@"
}
dpkg_in "$root" -i "$deb" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg -i failed"; }

gid="$(awk -F: -v g="$group" '$1 == g { print $3 }' "$root/etc/group")"
[ -n "$gid" ] || fail "postinst made no group $group"
expect_mode() { # path mode owner:group (numbers) [type]
  local got
  got="$(stat -c '%a %u:%g %F' "$1" 2>/dev/null || echo missing)"
  [ "$got" = "$2 $3 ${4:-regular file}" ] || fail "$1: $got, expected $2 $3 ${4:-regular file}"
}
# The layout: everything root's and writable by root alone; the local
# configuration and the log readable by the group.
expect_layout() { # root gid
  local h="$1/opt/opal4hbs" reg="$1/var/lib/opal4hbs/registry" level path
  expect_mode "$h" 755 0:0 directory
  expect_mode "$h/log" 755 0:0 directory
  expect_mode "$h/Language" 755 0:0 directory
  expect_mode "$h/Language/Lexidra.so" 644 0:0
  expect_mode "$h/opal-agent-setting" 755 0:0
  expect_mode "$h/AgentLocalConfig.xml" 640 "0:$2"
  expect_mode "$h/AgentSysConfig.xml" 644 0:0
  expect_mode "$h/SettingToolSysConfig.xml" 644 0:0
  path="$reg"
  expect_mode "$path" 755 0:0 directory
  for level in HKEY_LOCAL_MACHINE SOFTWARE Norvale OPAL4HBS Agent; do
    path="$path/$level"
    expect_mode "$path" 755 0:0 directory
  done
  # Nothing anywhere in the tree a member could write through.
  local writable
  writable="$(find -P "$h" "$reg" -path "$h/moved-aside" -prune -o -perm /022 ! -type l -printf '%p %m\n')"
  [ -z "$writable" ] || fail "writable by group or others: $writable"
}
expect_layout "$root" "$gid"
[ -n "$helper" ] && expect_mode "$root/usr/libexec/opal-agent-setting/opal-agent-helper" 755 0:0
expect_mode "$home/AgentStatus.xml" 644 0:0
expect_mode "$key/AgentStatus" 644 0:0
expect_mode "$key/ToolTag" 644 0:0
printf '<?xml version="1.0" encoding="UTF-8"?>\r\n<SettingToolSysConfig>\r\n<Language>0</Language>\r\n</SettingToolSysConfig>\r\n' |
  cmp -s - "$home/SettingToolSysConfig.xml" || fail "SettingToolSysConfig.xml is not the template in CR LF"
# The log the tool writes as root: created by the log code, then kept as the
# set-up makes it.
printf 'line\r\n' >"$home/log/OPALAgentSetting.log"
chmod 0664 "$home/log/OPALAgentSetting.log"
# Running the set-up again (an upgrade) changes nothing and keeps the choice.
printf 'chosen' >>"$home/SettingToolSysConfig.xml"
DPKG_ROOT="$root" "$root/usr/share/opal-agent-setting/setup-permissions" ||
  fail "setup-permissions failed on its second run"
tail -c 6 "$home/SettingToolSysConfig.xml" | grep -qx chosen || fail "a second set-up replaced the tool's document"
[ "$(grep -c "^$group:" "$root/etc/group")" -eq 1 ] || fail "a second set-up added the group again"
expect_mode "$home/log/OPALAgentSetting.log" 640 "0:$gid"

# The polkit rule, run the way polkitd runs it: a member may start, stop
# and restart the agent's unit, and nothing else is decided by it.
rules="$root/usr/share/polkit-1/rules.d/50-opal-agent-setting.rules"
if command -v node >/dev/null; then
  verdicts="$(OPAL_HELPER="$helper" node - "$rules" "$group" "$unit" <<'JS'
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
if (process.env.OPAL_HELPER) {
  const c = "org.opal.agent.configure", r = "org.opal.agent.report-status";
  console.log([ask(c, "", "", [group]), ask(r, "", "", [group]), ask(c, "", "", ["users"]),
               ask(r, "", "", ["users"])].join(" "));
}
console.log([
  ask(m, unit, "start", [group]), ask(m, unit, "stop", [group]), ask(m, unit, "restart", [group]),
  ask(m, unit, "start", ["users"]), ask(m, "ssh.service", "stop", [group]),
  ask(m, unit, "reload", [group]), ask("org.freedesktop.systemd1.manage-unit-files", unit, "start", [group]),
].join(" "));
JS
)"
  expected="yes yes yes not-handled not-handled not-handled not-handled"
  # Members change settings and report status without a password; the
  # others are left to the actions' defaults.
  [ -n "$helper" ] && expected="yes yes not-handled not-handled
$expected"
  [ "$verdicts" = "$expected" ] || fail "polkit verdicts: $verdicts"
else
  fail "node is not installed: the polkit rule cannot be checked"
fi

# Purge: the package's files go, the agent's documents, registry values and
# the group stay, and so does nothing of the tool's own document.
dpkg_in "$root" -P opal-agent-setting >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "dpkg -P failed"; }
[ -e "$home/opal-agent-setting" ] && fail "purge left the program"
[ -e "$home/SettingToolSysConfig.xml" ] && fail "purge left the tool's own document"
for kept in "$home/AgentLocalConfig.xml" "$home/AgentStatus.xml" "$key/AgentStatus"; do
  [ -f "$kept" ] || fail "purge removed $kept"
done
grep -q "^$group:" "$root/etc/group" || fail "purge removed the group"

# The upgrade from the previous release, whose set-up made the home, its
# log and the registry's keys group-writable: a member plants links there
# for root to follow, and files for root to load. The previous release is
# this package with the old set-up script and no preinst.
old_script="$4"
dpkg-deb -R "$deb" "$work/old"
rm -f "$work/old/DEBIAN/preinst"
install -m 0755 "$old_script" "$work/old/usr/share/opal-agent-setting/setup-permissions"
sed -i 's/^Version: .*/&~previous/' "$work/old/DEBIAN/control"
# md5sums would name the new script's checksum; dpkg does not need them.
rm -f "$work/old/DEBIAN/md5sums"
dpkg-deb --root-owner-group -b "$work/old" "$work/old.deb" >/dev/null

up="$work/upgrade"
make_root "$up"
uhome="$up/opt/opal4hbs"
ureg="$up/var/lib/opal4hbs/registry"
ukey="$ureg/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/OPAL4HBS/Agent"
dpkg_in "$up" -i "$work/old.deb" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out"; fail "installing the previous release failed"; }
ugid="$(awk -F: -v g="$group" '$1 == g { print $3 }' "$up/etc/group")"
expect_mode "$uhome/log" 2775 "0:$ugid" directory
expect_mode "$ukey" 2775 "0:$ugid" directory

# Root's things the member aims at: inside the scratch root and outside it.
canaries=("$up/usr/local/sbin" "$up/etc/secret" "$work/outside")
mkdir -p "$up/usr/local/sbin" "$work/outside/sbin" "$work/outside/keys"
printf '#!/bin/sh\n' >"$up/usr/local/sbin/ls"
chmod 0755 "$up/usr/local/sbin/ls"
printf 'root only\n' | tee "$up/etc/secret" "$work/outside/secret" >/dev/null
printf 'key\n' >"$work/outside/keys/value"
chmod 0600 "$up/etc/secret" "$work/outside/secret"
chmod 0700 "$work/outside/keys"
snapshot() {
  find -P "${canaries[@]}" -printf '%p %y %u %g %m %s\n' | sort
  find -P "${canaries[@]}" -type f -exec sha256sum {} + | sort
}
before="$(snapshot)"

# The member: nobody, with the install's group as a supplementary group.
as_member() { # shell commands
  setpriv --reuid=65534 --regid=65534 --groups="$ugid" --inh-caps=-all -- sh -ec "$1"
}
as_member "
  cd '$uhome'
  mv log log.orig; ln -s '$up/usr/local/sbin' log
  mv Language Language.orig; ln -s '$work/outside/sbin' Language
  rm AgentStatus.xml; ln -s '$up/etc/secret' AgentStatus.xml
  rm SettingToolSysConfig.xml; ln -s '$work/outside/secret' SettingToolSysConfig.xml
  printf '<AgentSysConfig evil=\"1\"/>\r\n' >.sys; mv .sys AgentSysConfig.xml
  printf '#!/bin/sh\n' >.ctl; chmod 755 .ctl; mv .ctl opal-agent-ctl
  mkdir imageformats; printf 'ELF' >imageformats/libqevil.so
  ln -s '$work/outside/sbin' moved-aside
  cd '$ukey/..'
  mv Agent Agent.orig; ln -s '$work/outside/keys' Agent
" || fail "the member could not plant in the previous release's layout"

dpkg_in "$up" -i "$deb" >"$work/upgrade.out" 2>&1 || { cat "$work/upgrade.out"; fail "the upgrade failed"; }
[ "$(snapshot)" = "$before" ] || fail "the upgrade changed root's files elsewhere: $(diff <(echo "$before") <(snapshot))"
expect_layout "$up" "$ugid"
[ -e "$uhome/AgentStatus.xml" ] && fail "the link at AgentStatus.xml was not removed"
[ -e "$uhome/Language/Lexidra.so" ] || fail "the language library was not unpacked into a real Language"
[ -e "$work/outside/sbin/Lexidra.so" ] && fail "dpkg wrote through the member's Language link"
cmp -s "$uhome/opal-agent-ctl" "$work/x/opt/opal4hbs/opal-agent-ctl" ||
  fail "the member's opal-agent-ctl survived the upgrade"
for said in "removed $uhome/log: a symbolic link to $up/usr/local/sbin" \
  "removed $uhome/AgentStatus.xml: a symbolic link" "removed $ukey: a symbolic link" \
  "warning: $uhome/AgentSysConfig.xml was replaced by uid 65534" \
  "moved $uhome/imageformats aside to $uhome/moved-aside/" "moved $uhome/log.orig aside" \
  "removed $uhome/moved-aside: a symbolic link to $work/outside/sbin"; do
  grep -qF -- "$said" "$work/upgrade.out" || fail "the upgrade did not say: $said"
done
expect_mode "$uhome/moved-aside" 700 0:0 directory
[ -n "$(find "$uhome/moved-aside" -path '*/imageformats/libqevil.so')" ] ||
  fail "the member's plug-in folder was not moved aside"

# The new layout leaves a member nowhere to plant.
for dir in "$uhome" "$uhome/log" "$uhome/Language" "$ukey" "$ureg"; do
  as_member "ln -s '$up/usr/local/sbin' '$dir/planted'" 2>/dev/null &&
    fail "a member could still plant a link in $dir"
done
as_member "cat '$uhome/AgentLocalConfig.xml'" >/dev/null || fail "a member cannot read the local configuration"
setpriv --reuid=65534 --regid=65534 --clear-groups -- cat "$uhome/AgentLocalConfig.xml" 2>/dev/null &&
  fail "a non-member can read the local configuration"

# Links left where files of ours belong in every directory the install
# touches (as an earlier member could have left them), then the same
# package again: nothing followed, every link gone.
ln -s "$up/etc/secret" "$uhome/log/OPALAgentSetting.log"
ln -s "$work/outside/secret" "$uhome/AgentLocalConfig.xml.tmp"
rm -f "$uhome/AgentLocalConfig.xml"
ln -s "$work/outside/secret" "$uhome/AgentLocalConfig.xml"
ln -s "$up/usr/local/sbin/ls" "$ukey/ToolTag.new"
rm -f "$ukey/ToolTag"
ln -s "$up/usr/local/sbin/ls" "$ukey/ToolTag"
ln -s "$work/outside/keys" "$ukey/Sub"
ln -s "$up/usr/local/sbin" "$uhome/Language/Lexidra.so.d"
chown -h 65534:65534 "$uhome/log/OPALAgentSetting.log" "$uhome/AgentLocalConfig.xml" "$uhome/AgentLocalConfig.xml.tmp" \
  "$ukey/ToolTag" "$ukey/ToolTag.new" "$ukey/Sub" "$uhome/Language/Lexidra.so.d"
printf 'agent\r\n' >"$ukey/Plain"
chmod 0666 "$ukey/Plain"
dpkg_in "$up" -i "$deb" >"$work/again.out" 2>&1 || { cat "$work/again.out"; fail "the second install failed"; }
[ "$(snapshot)" = "$before" ] || fail "the second install changed root's files elsewhere: $(diff <(echo "$before") <(snapshot))"
left="$(find -P "$uhome" "$ureg" -type l ! -path "$uhome/moved-aside/*")"
[ -z "$left" ] || fail "links left after the second install: $left"
expect_mode "$ukey/Plain" 644 0:0

# Upgrading from a layout whose set-up refuses: a home below a directory
# others can write is not touched at all.
bad="$work/bad"
make_root "$bad"
chmod 0777 "$bad/opt"
chmod 0600 "$bad/opt/opal4hbs/AgentSysConfig.xml"
DPKG_ROOT="$bad" bash "$work/x/usr/share/opal-agent-setting/setup-permissions" 2>"$work/bad.out" &&
  fail "setup-permissions accepted a home below a world-writable directory"
grep -q "refused: $bad/opt" "$work/bad.out" || fail "no refusal said: $(cat "$work/bad.out")"
expect_mode "$bad/opt/opal4hbs/AgentSysConfig.xml" 600 0:0

[ "$status" -eq 0 ] && echo "debian package: ok"
exit "$status"
