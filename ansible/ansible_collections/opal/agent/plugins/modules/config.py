#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (C) 2026 Norvale. All rights reserved.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: config
short_description: Make the Kestrel agent's connection settings so
description:
  - Sets the agent's connection settings (server, port, protocol, server
    authentication, proxy, certificates, retry and time-out) through
    C(opal-agent-ctl config apply), with the settings dialog's checks and
    messages.
  - Saves and tells the agent only when a setting differs from what is
    stored; when everything is already so, the agent's files are not touched
    and the task reports C(ok).
  - Passwords are handed to the command on its standard input, compared with
    the stored ones like any other setting, stored encrypted, and never shown
    in the task's result, its diff or its log.
version_added: 1.0.0
author:
  - Norvale (@norvale)
options:
  settings:
    description:
      - The settings to make so, under the command line's names (C(server),
        C(port), C(protocol), C(auth), C(user), C(proxy), C(proxy-type),
        C(proxy-port), C(proxy-user), C(proxy-auth-method), C(ca),
        C(client-cert), C(retry), C(timeout)); C(_) may stand for C(-).
      - Values are strings or whole numbers. Settings not named keep their
        stored values.
      - See C(opal-agent-ctl config set --help) for the values each takes.
    type: dict
    default: {}
  passwords:
    description:
      - The passwords to make so, under the names C(password),
        C(proxy-password) and C(client-cert-password); an empty string
        clears one.
      - A password equal to the stored one changes nothing.
    type: dict
    default: {}
  ctl_path:
    description:
      - The command line program, by name (looked for in the search path and
        in C(/opt/opal4hbs)) or by path.
    type: str
    default: opal-agent-ctl
attributes:
  check_mode:
    support: full
    description: Runs C(config apply --check), which reports the change and writes nothing.
  diff_mode:
    support: full
    description: Each changed setting before and after; a password only as C(set), C(changed) or C(not set).
notes:
  - The user the task runs as must be allowed to change the agent's settings
    (root, or a member of the agent's administrators' group); use
    C(become) otherwise.
  - A value the settings dialog would refuse fails the task with the
    dialog's message and its message id; nothing is saved then.
seealso:
  - module: opal.agent.connection_test
  - module: opal.agent.status
'''

EXAMPLES = r'''
- name: Point the agent at the server, through the branch's proxy
  opal.agent.config:
    settings:
      server: kestrel.example.com
      port: 443
      protocol: https
      ca: certs/kestrel-root-ca.cer
      proxy-type: http
      proxy: proxy.corp.example.com
      proxy-port: 3128
      proxy-user: branch-office
    passwords:
      proxy-password: "{{ vault_proxy_password }}"
  register: agent_settings

- name: No proxy any more
  opal.agent.config:
    settings:
      proxy_type: none
'''

RETURN = r'''
changes:
  description: The names of the settings that differ (or would differ in check mode) from the stored ones.
  returned: success
  type: list
  elements: str
  sample: [port, proxy-password]
saved:
  description: Whether the local configuration was written.
  returned: success
  type: bool
  sample: true
notified:
  description: After a save, whether the agent could be told (its status document's NetConfigChanged and its registry value ToolTag).
  returned: when saved
  type: dict
  sample: {netConfigChanged: true, toolTag: true}
message_id:
  description: The settings dialog's message id of a refused value.
  returned: when a check refused a value
  type: int
  sample: 7001
setting:
  description: The setting whose value the check refused.
  returned: when a check refused a value
  type: str
  sample: port
page:
  description: The dialog page the refused setting is on (general, advanced or https).
  returned: when a check refused a value
  type: str
  sample: general
kind:
  description: What kind of failure the command reported (validation, usage, permission, load, save).
  returned: failure
  type: str
  sample: validation
'''

import json
import os
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.opal.agent.plugins.module_utils.opal_ctl import (
    check_passwords,
    check_settings,
    fail_with_answer,
    pass_warnings,
    run_ctl,
)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            settings=dict(type='dict', default={}),
            passwords=dict(type='dict', default={}, no_log=True),
            ctl_path=dict(type='str', default='opal-agent-ctl'),
        ),
        supports_check_mode=True,
    )
    settings = check_settings(module, module.params['settings'])
    passwords = check_passwords(module, module.params['passwords'])

    # The settings go in a file of the module's own (no password is in it),
    # so that standard input is free for the passwords.
    fd, path = tempfile.mkstemp(prefix='opal-agent-settings-', suffix='.json',
                                dir=module.tmpdir)
    try:
        with os.fdopen(fd, 'w') as out:
            json.dump(settings, out)
        arguments = ['config', 'apply', path]
        if module.check_mode:
            arguments.append('--check')
        if module._diff:
            arguments.append('--diff')
        rc, answer, dummy = run_ctl(module, arguments, passwords)
    finally:
        os.unlink(path)

    if rc != 0:
        fail_with_answer(module, rc, answer)
    pass_warnings(module, answer)
    result = dict(
        changed=bool(answer.get('changed')),
        changes=answer.get('changes') or [],
        saved=bool(answer.get('saved')),
    )
    if 'notified' in answer:
        result['notified'] = answer['notified']
    if module._diff:
        diff = answer.get('diff') or {}
        result['diff'] = dict(
            before=dict((name, entry.get('before')) for name, entry in diff.items()),
            after=dict((name, entry.get('after')) for name, entry in diff.items()),
        )
    module.exit_json(**result)


if __name__ == '__main__':
    main()
