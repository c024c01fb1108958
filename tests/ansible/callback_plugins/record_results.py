# Writes each task's result, as the module returned it, to the JSON file
# that OPAL_FLEET_RESULTS names: the test reads what the playbook saw.
# (ansible-core alone has no JSON callback.)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = '''
name: record_results
type: aggregate
short_description: writes every task's result to a JSON file
description: The fleet test's record of what each task returned.
requirements:
  - OPAL_FLEET_RESULTS in the environment
'''


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'record_results'
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.results = []

    def _record(self, result, failed):
        recorded = dict(result._result)
        recorded['failed'] = failed
        self.results.append(recorded)

    def v2_runner_on_ok(self, result):
        self._record(result, False)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, True)

    def v2_playbook_on_stats(self, stats):
        with open(os.environ['OPAL_FLEET_RESULTS'], 'w') as out:
            json.dump(self.results, out, default=str)
