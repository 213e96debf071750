# A stdout callback for the playbook tests: prints, once the playbook ends, one JSON object that
# maps each host to its result of the first task that ran on it.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = '''
    name: task_results
    type: stdout
    short_description: each host's result of the first task, as JSON
    description: each host's result of the first task, as one JSON object, for the tests
'''


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'stdout'
    CALLBACK_NAME = 'task_results'

    def __init__(self, *args, **kwargs):
        super(CallbackModule, self).__init__(*args, **kwargs)
        self.results = {}

    def _record(self, result, failed=False):
        self.results.setdefault(result._host.get_name(), dict(result._result, failed=failed))

    def v2_runner_on_ok(self, result):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, failed=True)

    def v2_playbook_on_stats(self, stats):
        self._display.display(json.dumps(self.results, default=str))
