#!/bin/sh
# systemd's own check of the helper's unit: `systemd-analyze verify` must
# accept it without a word (an unknown or misspelt directive is only a
# warning to systemd, a failure here), and its offline security review must
# rate its exposure "OK" or better. The unit names the installed program,
# which a build tree does not have: the copy checked here names the built one.
# Usage: unit_verify_test.sh <configured unit> <built helper>
set -u
unit=$1
helper=$2
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "SKIP: systemd-analyze is not installed (Debian's systemd package)"
    exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
copy=$dir/opal-agent-helper.service
sed "s|^ExecStart=.*|ExecStart=$helper|" "$unit" >"$copy"
out=$(systemd-analyze verify "$copy" 2>&1)
rc=$?
case "$out" in
*"Failed to initialize manager"* | *"Failed to setup working directory"* | *"Operation not permitted"*)
    echo "SKIP: systemd-analyze cannot run here: $out"
    exit 77
    ;;
esac
if [ $rc -ne 0 ] || [ -n "$out" ]; then
    echo "systemd-analyze verify (exit $rc):"
    echo "$out"
    exit 1
fi
security=$(systemd-analyze security --offline=yes "$copy" 2>&1)
level=$(printf '%s\n' "$security" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) \([A-Z]*\).*/\1 \2/p')
case "$level" in
*" OK" | *" SAFE" | *" MEDIUM")
    ;;
"")
    echo "SKIP: systemd-analyze security --offline gave no rating here"
    exit 77
    ;;
*)
    echo "exposure $level:"
    printf '%s\n' "$security"
    exit 1
    ;;
esac
case "$level" in
*" MEDIUM")
    echo "exposure $level, want OK or better:"
    printf '%s\n' "$security" | grep '✗'
    exit 1
    ;;
esac
echo "verified; exposure $level"
