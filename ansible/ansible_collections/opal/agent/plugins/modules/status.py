#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (C) 2026 Norvale. All rights reserved.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: status
short_description: The Kestrel agent's status as facts
description:
  - Reads the agent's status through C(opal-agent-ctl status) and sets it as
    the fact C(opal_agent) (RegisterStatus, AgentStatus with the tray tip's
    text, ToolTag, NetConfigChanged, the service's state, the server URL,
    the proxy and the program directory).
  - Reads only. On a machine without the agent, or where the agent's state
    cannot be read, the task fails and says what is missing.
version_added: 1.0.0
author:
  - Norvale (@norvale)
options:
  ctl_path:
    description:
      - The command line program, by name or by path.
    type: str
    default: opal-agent-ctl
attributes:
  check_mode:
    support: full
    description: Reads only, so it runs in check mode as well.
  diff_mode:
    support: none
    description: Nothing changes.
  facts:
    support: full
    description: Sets C(opal_agent).
seealso:
  - module: opal.agent.config
'''

EXAMPLES = r'''
- name: Read the agent's status
  opal.agent.status:

- name: Show where the agent reports to
  ansible.builtin.debug:
    msg: "{{ opal_agent.server.url }} ({{ opal_agent.service.state }})"
'''

RETURN = r'''
ansible_facts:
  description: The agent's status.
  returned: always
  type: complex
  contains:
    opal_agent:
      description: The status command's answer (C(opal-agent-ctl --json status), its C(status) member).
      returned: success
      type: dict
      sample:
        programDirectory: /opt/opal4hbs/
        agent: {registerStatus: 1, agentStatus: 1, agentStatusText: Kestrel Agent works normally., toolTag: 0, netConfigChanged: 0}
        service: {name: opal-agent, unit: opal-agent.service, state: running, reason: null}
        server: {configurationRead: true, url: "https://kestrel.example.com:443/opalCommunicatorServer/DataPortServlet"}
        proxy: null
        missing: []
missing:
  description: What of the agent is missing or cannot be read, each with what, path, reason and message.
  returned: failure
  type: list
  elements: dict
  sample: [{what: status-document, path: /opt/opal4hbs/AgentStatus.xml, reason: missing, message: "the agent's status document /opt/opal4hbs/AgentStatus.xml is missing"}]
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.opal.agent.plugins.module_utils.opal_ctl import (
    fail_with_answer,
    pass_warnings,
    run_ctl,
)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            ctl_path=dict(type='str', default='opal-agent-ctl'),
        ),
        supports_check_mode=True,
    )
    rc, answer, dummy = run_ctl(module, ['status'])
    status = answer.get('status')
    if rc != 0:
        missing = status.get('missing', []) if isinstance(status, dict) else []
        fail_with_answer(module, rc, answer, changed=False, missing=missing)
    pass_warnings(module, answer)
    module.exit_json(changed=False, ansible_facts=dict(opal_agent=status))


if __name__ == '__main__':
    main()
