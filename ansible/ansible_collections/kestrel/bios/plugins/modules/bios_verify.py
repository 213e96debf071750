#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: bios_verify
short_description: Verify after the reboot that every value of a Setup change held
version_added: 1.1.0
description:
  - Compares each value a change of M(kestrel.bios.bios_attributes) (or C(kestrel-attrs set), or a write through
    the attributes mount) requested with the value the firmware shows now, through C(kestrel-attrs verify) on the
    managed host, and returns the result as facts under C(ansible_facts.kestrel_bios_verify).
  - Run it after the reboot. The firmware may revert or adjust a value during POST; the task fails when a value
    was C(reverted) (it is the value before the change again) or C(adjusted) (something else), and when the host
    has not been rebooted since the change (C(pending-reboot)).
  - Reads only; never changes the firmware.
author:
  - Kestrel developers (@kestrel)
requirements:
  - kestrel-attrs installed on the managed host, run as root
options:
  entry:
    description:
      - The journal entry to verify; the newest when not given (the change the last C(bios_attributes) task made,
        its I(journal_entry)).
    type: int
extends_documentation_fragment:
  - kestrel.bios.common
  - kestrel.bios.common.journal
attributes:
  check_mode:
    description: Can run in check mode and return changed status prediction without modifying the firmware.
    support: full
  diff_mode:
    description: Will not return details on what has changed.
    support: none
  facts:
    description: Action returns an C(ansible_facts) dictionary that will update existing host facts.
    support: full
'''

EXAMPLES = r'''
- name: Set, reboot, verify
  hosts: rack7
  tasks:
    - name: Converge the Setup attributes
      kestrel.bios.bios_attributes:
        attributes:
          MAIN002: 20
          PROC001: Disabled
      register: bios

    - name: Reboot where the firmware needs it
      ansible.builtin.reboot:
      when: bios.reboot_required

    - name: Did every value hold?
      kestrel.bios.bios_verify:
        entry: "{{ bios.journal_entry | default(omit, true) }}"
      when: bios.changed
'''

RETURN = r'''
ansible_facts:
  description: The facts.
  returned: always
  type: complex
  contains:
    kestrel_bios_verify:
      description: The verification of one journal entry.
      returned: always
      type: complex
      contains:
        entry:
          description: The journal entry verified.
          returned: always
          type: int
        status:
          description: C(verified) (every value applied), C(adjusted) (a value was reverted or adjusted) or
            C(pending-reboot) (no reboot since the change).
          returned: always
          type: str
        rebooted:
          description: Whether the host was rebooted since the change.
          returned: always
          type: bool
        attributes:
          description: Attribute name to its C(status) (C(applied), C(reverted), C(adjusted), C(pending-reboot)),
            C(requested), C(current) and C(old) value.
          returned: always
          type: dict
          sample: {"MAIN002": {"status": "adjusted", "requested": 20, "current": 15, "old": 10}}
not_held:
  description: The attributes whose value did not hold, with their status; when not empty the task failed.
  returned: always
  type: dict
  sample: {"MAIN002": "adjusted"}
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kestrel.bios.plugins.module_utils.kestrel import COMMON_ARGS, JOURNAL_ARGS, Runner

# kestrel-attrs verify: every value applied, no reboot since, a value did not hold.
VERIFIED = 0
PENDING = 6
NOT_HELD = 7


def facts_of(report):
    """The facts of a verify report."""
    attributes = {}
    for item in report.get('Attributes', []):
        attributes[item['AttributeName']] = dict(status=item.get('Status'), requested=item.get('RequestedValue'),
                                                 current=item.get('CurrentValue'), old=item.get('OldValue'))
    return dict(entry=report.get('Entry'), status=report.get('Status'), rebooted=bool(report.get('Rebooted')),
                attributes=attributes)


def failure_message(rc, facts):
    """Why the task fails, or None."""
    if rc == PENDING:
        return 'the host was not rebooted since journal entry %s: its values take effect at the next boot' % facts['entry']
    if rc == NOT_HELD:
        return 'values of journal entry %s did not hold over the reboot: %s' % (facts['entry'], '; '.join(
            '%s %s (requested %s, now %s)' % (name, a['status'], a['requested'], a['current'])
            for name, a in facts['attributes'].items() if a['status'] in ('reverted', 'adjusted')))
    return None


def main():
    argument_spec = dict(entry=dict(type='int'))
    argument_spec.update(COMMON_ARGS)
    argument_spec.update(JOURNAL_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    runner = Runner(module)
    args = ['verify']
    if module.params['entry'] is not None:
        args.append(str(module.params['entry']))
    rc, report, err = runner.report(args, (VERIFIED, PENDING, NOT_HELD))
    facts = facts_of(report)
    not_held = dict((name, a['status']) for name, a in facts['attributes'].items()
                    if a['status'] in ('reverted', 'adjusted'))
    result = dict(changed=False, ansible_facts=dict(kestrel_bios_verify=facts), not_held=not_held)
    problem = failure_message(rc, facts)
    if problem:
        module.fail_json(msg=problem, rc=rc, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
