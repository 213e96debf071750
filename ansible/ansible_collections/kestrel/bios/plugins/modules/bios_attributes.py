#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: bios_attributes
short_description: Set UEFI Setup attributes with kestrel-attrs
version_added: 1.0.0
description:
  - Sets Setup attributes (the names of the attribute registry that C(kestrel-attrs registry) prints)
    to the values given, through C(kestrel-attrs set) on the managed host.
  - Idempotent. The task reports C(changed) only when a value really changed.
  - Every value is checked before anything is written. When one value is refused, the task fails with
    I(invalid_attributes) and nothing at all is written.
  - A write the firmware refuses (a protected variable without the admin password, a failing variable)
    fails the task with the tool's reason.
  - Check mode validates the values and reports what would change without writing (C(--dry-run)).
  - Diff mode shows the old and new value of each changed attribute.
  - Every change is recorded in kestrel-attrs's journal first (I(journal_entry)), so that
    M(kestrel.bios.bios_verify) can check it after the reboot and M(kestrel.bios.bios_rollback) undo it. A journal
    that cannot be written fails the task before anything is written.
author:
  - Kestrel developers (@kestrel)
requirements:
  - kestrel-attrs and KESLNX_64 installed on the managed host, run as root
options:
  attributes:
    description:
      - Attribute name to value. Values are given as text or numbers; each is read as the
        attribute's type (an integer in decimal or after C(0x), C(true) or C(false), an option's
        C(ValueName), a string).
    type: dict
    required: true
extends_documentation_fragment:
  - kestrel.bios.common
  - kestrel.bios.common.admin_password
  - kestrel.bios.common.journal
attributes:
  check_mode:
    description: Can run in check mode and return changed status prediction without modifying the firmware.
    support: full
  diff_mode:
    description: Will return details on what has changed (or possibly needs changing in check mode), when in diff mode.
    support: full
'''

EXAMPLES = r'''
- name: Same Setup on every host of the rack
  kestrel.bios.bios_attributes:
    attributes:
      MAIN002: 20
      PROC001: Disabled
    admin_password: "{{ vault_bios_admin_password }}"
  register: bios

- name: Reboot when the firmware asks for it
  ansible.builtin.reboot:
  when: bios.reboot_required
'''

RETURN = r'''
changed_attributes:
  description: The attributes whose value changed (in check mode, would change), with old and new value.
  returned: always
  type: dict
  sample: {"MAIN002": {"old": 10, "new": 20}}
invalid_attributes:
  description: The refused attributes with the reason; when not empty the task failed and nothing was written.
  returned: always
  type: dict
  sample: {"ADV001": "not an option: \"Bogus\" is not one of the ValueName texts"}
failed_attributes:
  description: Attributes whose write failed or whose value did not hold, with the reason.
  returned: always
  type: dict
reboot_required:
  description: Whether a changed attribute takes effect only after a reset.
  returned: always
  type: bool
journal_entry:
  description: The journal entry that records the change (none when nothing was written).
  returned: always
  type: int
  sample: 12
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kestrel.bios.plugins.module_utils.kestrel import (
    ATTRS, COMMON_ARGS, JOURNAL_ARGS, Runner, messages, write_failure)
import json

# kestrel-attrs exit statuses.
REFUSED = 3
WRITE_FAILED = 4
JOURNAL = 8


def value_text(value):
    """A value as the text kestrel-attrs types by the attribute."""
    if isinstance(value, bool):
        return 'true' if value else 'false'
    return str(value)


def summarize(report):
    """changed_attributes, invalid_attributes, failed_attributes and reboot_required of a set report."""
    changed = dict((c['AttributeName'], {'old': c.get('OldValue'), 'new': c.get('NewValue')})
                   for c in report.get('Changed', []))
    invalid = dict((r['AttributeName'], r.get('Reason', 'refused')) for r in report.get('Refused', []))
    failed = dict((f['AttributeName'], f.get('Reason', 'failed')) for f in report.get('Failed', []))
    return changed, invalid, failed, bool(report.get('ResetRequired'))


def failure_message(rc, invalid, failed, err):
    """Why the task fails, or None."""
    if invalid:
        return 'invalid attributes, nothing was written: ' + '; '.join(
            '%s: %s' % (name, reason) for name, reason in invalid.items())
    if rc == JOURNAL:
        return 'the journal cannot record the change, nothing was written: ' + (messages(err) or 'status %d' % rc)
    refused = write_failure(err)
    if failed or rc != 0 or refused:
        parts = ['%s: %s' % (name, reason) for name, reason in failed.items()]
        tool = messages(err)
        if tool:
            parts.append(tool)
        return 'the firmware did not take every value: ' + ('; '.join(parts) or 'status %d' % rc)
    return None


def main():
    argument_spec = dict(
        attributes=dict(type='dict', required=True),
        admin_password=dict(type='str', no_log=True),
    )
    argument_spec.update(COMMON_ARGS)
    argument_spec.update(JOURNAL_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    result = dict(changed=False, changed_attributes={}, invalid_attributes={}, failed_attributes={},
                  reboot_required=False, journal_entry=None)

    attributes = module.params['attributes']
    empty = sorted(name for name, value in attributes.items() if value is None)
    if empty:
        result['invalid_attributes'] = dict((name, 'no value given') for name in empty)
        module.fail_json(msg='invalid attributes, nothing was written: no value given for ' + ', '.join(empty), **result)
    if not attributes:
        module.exit_json(**result)

    runner = Runner(module)
    args = [] if module.check_mode else runner.password_args()
    args += ['set'] + ['%s=%s' % (name, value_text(value)) for name, value in attributes.items()]
    if module.check_mode:
        args.append('--dry-run')
    rc, out, err = runner.run(ATTRS, args)
    try:
        report = json.loads(out)
    except ValueError:
        module.fail_json(msg='kestrel-attrs: ' + (messages(err) or 'status %d and no report' % rc), rc=rc, **result)

    changed, invalid, failed, reboot = summarize(report)
    result.update(changed=bool(changed), changed_attributes=changed, invalid_attributes=invalid,
                  failed_attributes=failed, reboot_required=reboot, journal_entry=report.get('JournalEntry'))
    if module._diff and changed:
        result['diff'] = dict(before=dict((n, c['old']) for n, c in changed.items()),
                              after=dict((n, c['new']) for n, c in changed.items()))
    problem = failure_message(rc, invalid, failed, err)
    if problem:
        module.fail_json(msg=problem, rc=rc, stderr=err, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
