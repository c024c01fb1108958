#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (C) 2026 Norvale. All rights reserved.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: connection_test
short_description: Test the Kestrel agent's connection to its server
description:
  - Runs the settings dialog's Test Connection through
    C(opal-agent-ctl test-connection --diagnose), which sends one request to
    the server with the saved settings, or with the given ones, which are
    checked as the dialog checks them and never saved.
  - Never changes anything. The task fails when the test fails, with the
    step that failed and the hint that names the setting to change.
version_added: 1.0.0
author:
  - Norvale (@norvale)
options:
  settings:
    description:
      - Unsaved settings to test with instead of the saved ones, under the
        names of M(opal.agent.config).
    type: dict
    default: {}
  passwords:
    description:
      - Unsaved passwords to test with (C(password), C(proxy-password),
        C(client-cert-password)).
    type: dict
    default: {}
  ctl_path:
    description:
      - The command line program, by name or by path.
    type: str
    default: opal-agent-ctl
attributes:
  check_mode:
    support: full
    description: The test changes nothing, so it runs in check mode as well.
  diff_mode:
    support: none
    description: Nothing changes, so there is no difference to show.
seealso:
  - module: opal.agent.config
'''

EXAMPLES = r'''
- name: Can the agent reach its server?
  opal.agent.connection_test:

- name: Would it, without the proxy?
  opal.agent.connection_test:
    settings:
      proxy-type: none
'''

RETURN = r'''
success:
  description: Whether the server answered with success.
  returned: always
  type: bool
  sample: false
outcome:
  description: The test's outcome as the command reports it (the dialog's message and its id, libcurl's results, the HTTP status, the server's code).
  returned: when the test ran
  type: dict
  sample: {success: false, messageId: 7019, message: Unable to connect to the server.}
steps:
  description: The test step by step.
  returned: when the test ran
  type: list
  elements: dict
  contains:
    name:
      description: The step (for example resolve, connect, tls, authentication).
      type: str
    result:
      description: The step's result (for example passed, failed, skipped).
      type: str
    text:
      description: What the step found.
      type: str
    hint:
      description: For a failed step, what to change.
      type: str
  sample: [{name: connect, result: failed, text: "Connect to 127.0.0.1:9", hint: "Nothing listens there."}]
failed_step:
  description: The name of the first step that failed.
  returned: when the test failed
  type: str
  sample: connect
hint:
  description: The failed step's hint.
  returned: when the test failed
  type: str
  sample: Check Server address and Server port.
message_id:
  description: The settings dialog's message id of a refused setting, or of the test's outcome.
  returned: failure
  type: int
  sample: 7019
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.opal.agent.plugins.module_utils.opal_ctl import (
    check_passwords,
    check_settings,
    fail_with_answer,
    pass_warnings,
    run_ctl,
)

FAILED_RESULTS = ('failed', 'fail', 'failure', 'error')


def first_of(entry, *keys):
    for key in keys:
        value = entry.get(key)
        if value not in (None, ''):
            return value
    return None


def read_steps(diagnosis):
    """The diagnosis's steps, read by what each says rather than by one
    exact layout: its name, result, text and hint."""
    if isinstance(diagnosis, dict):
        raw = diagnosis.get('steps')
    else:
        raw = diagnosis
    steps = []
    for entry in raw if isinstance(raw, list) else []:
        if not isinstance(entry, dict):
            continue
        result = first_of(entry, 'result', 'verdict', 'status', 'outcome')
        if isinstance(result, bool):
            result = 'passed' if result else 'failed'
        steps.append(dict(
            name=first_of(entry, 'name', 'key', 'kind', 'step', 'id'),
            result=None if result is None else str(result),
            text=first_of(entry, 'text', 'title', 'message', 'summary'),
            hint=first_of(entry, 'hint', 'advice'),
        ))
    return steps


def first_failure(diagnosis, steps):
    for step in steps:
        if step['result'] is not None and step['result'].lower() in FAILED_RESULTS:
            return step
    named = diagnosis.get('firstFailure') if isinstance(diagnosis, dict) else None
    for step in steps:
        if named is not None and step['name'] == named:
            return step
    return None


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
    arguments = ['test-connection', '--diagnose']
    arguments += ['%s=%s' % (name, value) for name, value in settings.items()]
    rc, answer, dummy = run_ctl(module, arguments, passwords)

    outcome = answer.get('outcome')
    if not isinstance(outcome, dict):
        # Refused before anything was sent: a check, a usage error.
        fail_with_answer(module, rc, answer, changed=False)
    pass_warnings(module, answer)
    diagnosis = answer.get('diagnosis')
    steps = read_steps(diagnosis)
    result = dict(changed=False, success=bool(outcome.get('success')) and rc == 0,
                  outcome=outcome, steps=steps)
    if result['success']:
        module.exit_json(**result)

    failed = first_failure(diagnosis, steps)
    message = outcome.get('message') or 'The connection test failed.'
    if failed is not None:
        result['failed_step'] = failed['name']
        result['hint'] = failed['hint']
        message = 'The connection test failed at %s' % failed['name']
        if failed['text']:
            message += ' (%s)' % failed['text']
        message += ': ' + (failed['hint'] or outcome.get('message') or 'no hint given')
    if 'messageId' in outcome:
        result['message_id'] = outcome['messageId']
    module.fail_json(msg=message, rc=rc, **result)


if __name__ == '__main__':
    main()
