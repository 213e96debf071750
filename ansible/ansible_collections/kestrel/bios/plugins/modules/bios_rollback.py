#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: bios_rollback
short_description: Undo a Setup change recorded in kestrel-attrs's journal
version_added: 1.1.0
description:
  - Writes back what a change overwrote, through C(kestrel-attrs rollback) on the managed host. Each variable of
    the journal entry gets the bytes it held before the change, where it still holds the bytes the change wrote (or
    the firmware adjusted one of its values at the reboot).
  - A variable changed since by anything else fails the task, by name, and nothing at all is written, unless
    I(force) is set. An entry made on other firmware is always refused.
  - Idempotent. The rollback is a journal entry of its own; rolling back twice changes nothing the second time.
  - Check mode reports what would be written (C(--dry-run)).
author:
  - Kestrel developers (@kestrel)
requirements:
  - kestrel-attrs installed on the managed host, run as root
options:
  entry:
    description:
      - The journal entry to roll back; the newest when not given.
    type: int
  force:
    description:
      - Write the bytes before back even over variables changed since.
    type: bool
    default: false
extends_documentation_fragment:
  - kestrel.bios.common
  - kestrel.bios.common.admin_password
  - kestrel.bios.common.journal
attributes:
  check_mode:
    description: Can run in check mode and return changed status prediction without modifying the firmware.
    support: full
  diff_mode:
    description: Will not return details on what has changed.
    support: none
'''

EXAMPLES = r'''
- name: Undo last night's change on the machines that did not take it
  hosts: rack7
  tasks:
    - name: Roll back
      kestrel.bios.bios_rollback:
        entry: "{{ bios.journal_entry }}"
      register: rollback

    - name: Reboot so that the old values take effect
      ansible.builtin.reboot:
      when: rollback.reboot_required
'''

RETURN = r'''
restored:
  description: The variables written back (in check mode, that would be), C(Name-guid) each.
  returned: always
  type: list
  elements: str
refused:
  description: The variables changed since, with the reason; when not empty the task failed and nothing was written.
  returned: always
  type: dict
journal_entry:
  description: The journal entry that records the rollback (none when nothing was written).
  returned: always
  type: int
reboot_required:
  description: Whether a value written back takes effect only after a reset.
  returned: always
  type: bool
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kestrel.bios.plugins.module_utils.kestrel import (
    COMMON_ARGS, JOURNAL_ARGS, Runner, messages)

# kestrel-attrs rollback: done (or nothing to do), refused, a write failed, the journal cannot record it.
DONE = 0
REFUSED = 3
WRITE_FAILED = 4
JOURNAL = 8


def main():
    argument_spec = dict(entry=dict(type='int'), force=dict(type='bool', default=False),
                         admin_password=dict(type='str', no_log=True))
    argument_spec.update(COMMON_ARGS)
    argument_spec.update(JOURNAL_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    runner = Runner(module)
    args = [] if module.check_mode else runner.password_args()
    args.append('rollback')
    if module.params['entry'] is not None:
        args.append(str(module.params['entry']))
    if module.params['force']:
        args.append('--force')
    if module.check_mode:
        args.append('--dry-run')
    rc, report, err = runner.report(args, (DONE, REFUSED, WRITE_FAILED, JOURNAL))
    restored = [r['Variable'] for r in report.get('Restored', [])]
    refused = dict((r['Variable'], r.get('Reason', 'changed since')) for r in report.get('Refused', []))
    result = dict(changed=bool(restored) and rc == DONE, restored=restored, refused=refused,
                  journal_entry=report.get('JournalEntry'), reboot_required=bool(report.get('ResetRequired')))
    if rc != DONE:
        module.fail_json(msg='rollback of journal entry %s: %s' % (report.get('Entry'), messages(err) or 'status %d' % rc),
                         rc=rc, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
