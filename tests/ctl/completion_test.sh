#!/bin/bash
# The bash completion of opal-agent-ctl, with the two helpers of the
# bash-completion package that it uses stood in for.
set -u
script=$1
failures=0

_init_completion() {
    cur=${COMP_WORDS[COMP_CWORD]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
}
_filedir() { COMPREPLY=(FILES); }
compopt() { :; }
complete() { :; }
# shellcheck source=/dev/null
source "$script"

check() {
    local expected=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _opal_agent_ctl
    local got="${COMPREPLY[*]}"
    if [[ $got != "$expected" ]]; then
        echo "FAIL: '$*' gave '$got', expected '$expected'"
        failures=$((failures + 1))
    fi
}

check "status" opal-agent-ctl st
check "config" opal-agent-ctl --json con
check "show set apply" opal-agent-ctl config ""
check "proxy= proxy-type= proxy-port= proxy-user= proxy-password= proxy-auth-method=" opal-agent-ctl config set proxy
check "https" opal-agent-ctl config set protocol=https
check "socks5 socks4" opal-agent-ctl config set proxy-type=s
check "none ntlm" opal-agent-ctl test-connection auth=n
check "FILES" opal-agent-ctl config set ca=ce
check "proxy-password" opal-agent-ctl config set --password-stdin=pr
check "--check" opal-agent-ctl config apply --c
check "FILES" opal-agent-ctl config apply de
check "--diff" opal-agent-ctl config apply desired.json --di
check "--password-stdin= --password-file=" opal-agent-ctl config apply desired.json --pass
check "proxy-password" opal-agent-ctl config apply desired.json --password-stdin=pr
check "FILES" opal-agent-ctl config apply desired.json --password-file=pw
check "start stop restart status" opal-agent-ctl service ""
check "" opal-agent-ctl service start ""
check "--output" opal-agent-ctl diagnose --o
check "FILES" opal-agent-ctl diagnose --output ""
check "--diagnose" opal-agent-ctl test-connection --dia
exit $((failures > 0))
