# -*- coding: utf-8 -*-
# Copyright (C) 2026 Norvale. All rights reserved.
"""What the modules share: finding opal-agent-ctl, running it with the
passwords on standard input, and reading its JSON answer."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os

# The command line's setting names, as `opal-agent-ctl config set --help`
# lists them.
SETTING_NAMES = (
    'server', 'port', 'protocol', 'auth', 'user', 'password', 'proxy',
    'proxy-type', 'proxy-port', 'proxy-user', 'proxy-password',
    'proxy-auth-method', 'ca', 'client-cert', 'client-cert-password',
    'retry', 'timeout',
)
PASSWORD_NAMES = ('password', 'proxy-password', 'client-cert-password')

# The only answer format these modules read.
CTL_SCHEMA = 'opal-agent-ctl/1'


def setting_name(key):
    """A playbook may write proxy_port as well as proxy-port."""
    return str(key).replace('_', '-')


def check_settings(module, settings):
    """The settings as the command line takes them: known names, no
    passwords (those go through `passwords`, which is never logged),
    strings or whole numbers."""
    checked = {}
    for key, value in (settings or {}).items():
        name = setting_name(key)
        if name in PASSWORD_NAMES:
            module.fail_json(msg="'%s' is a password: give it under passwords, which is never "
                                 "logged" % key)
        if name not in SETTING_NAMES:
            module.fail_json(msg="unknown setting '%s'; the settings are: %s"
                                 % (key, ', '.join(n for n in SETTING_NAMES if n not in PASSWORD_NAMES)))
        if name in checked:
            module.fail_json(msg="'%s' is given more than once" % name)
        if isinstance(value, bool) or not isinstance(value, (str, int)):
            module.fail_json(msg="'%s': expected a string or a whole number" % key)
        checked[name] = value
    return checked


def check_passwords(module, passwords):
    """The passwords, one line each on the command's standard input."""
    checked = {}
    for key, value in (passwords or {}).items():
        name = setting_name(key)
        if name not in PASSWORD_NAMES:
            module.fail_json(msg="passwords: '%s' is not a password (%s)"
                                 % (key, ', '.join(PASSWORD_NAMES)))
        if name in checked:
            module.fail_json(msg="passwords: '%s' is given more than once" % name)
        if value is None:
            value = ''
        if not isinstance(value, str):
            module.fail_json(msg="passwords: '%s' must be a string" % key)
        if '\n' in value or '\r' in value:
            module.fail_json(msg="passwords: '%s' holds a line end, which no password "
                                 "can" % key)
        checked[name] = value
    return checked


def ctl_program(module):
    path = module.params['ctl_path']
    if '/' in path:
        if not (os.path.isfile(path) and os.access(path, os.X_OK)):
            module.fail_json(msg='%s is not an executable program: is the agent setting tool '
                                 'installed here?' % path)
        return path
    return module.get_bin_path(path, required=True, opt_dirs=['/opt/opal4hbs'])


def run_ctl(module, arguments, passwords=None):
    """Runs `opal-agent-ctl --json ARGUMENTS`; with passwords, adds
    --password-stdin and writes them to its standard input. Returns the exit
    status, the answer and standard error."""
    command = [ctl_program(module), '--json'] + list(arguments)
    data = None
    if passwords:
        names = sorted(passwords)
        command.append('--password-stdin=' + ','.join(names))
        data = ''.join(passwords[name] + '\n' for name in names)
    # The answers are the English texts of the dialog whatever the locale.
    rc, out, err = module.run_command(command, data=data, binary_data=True,
                                      environ_update={'LC_ALL': 'C.UTF-8'})
    try:
        answer = json.loads(out)
    except ValueError:
        answer = None
    if not isinstance(answer, dict) or answer.get('schema') != CTL_SCHEMA:
        module.fail_json(msg='%s gave no %s answer (exit status %d): %s'
                             % (command[0], CTL_SCHEMA, rc, (err or out).strip()),
                         rc=rc)
    return rc, answer, err


def pass_warnings(module, answer):
    for warning in answer.get('warnings') or []:
        module.warn(str(warning))


def fail_with_answer(module, rc, answer, **extra):
    """Fails the task with the command's own error: its message and, for a
    refused check, the dialog's message id and the setting it concerns."""
    error = answer.get('error') or {}
    details = error.get('details') or {}
    result = dict(rc=rc, kind=error.get('kind'))
    for key, name in (('messageId', 'message_id'), ('setting', 'setting'), ('page', 'page')):
        if key in details:
            result[name] = details[key]
    pass_warnings(module, answer)
    result.update(extra)
    module.fail_json(msg=error.get('message') or 'opal-agent-ctl failed with exit status %d' % rc,
                     **result)
