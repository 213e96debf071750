#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: bios_script
short_description: Apply a Setup script file with KESLNX_64
version_added: 1.0.0
description:
  - Imports a Setup script file (as C(KESLNX_64 /o /s) exports it, edited) with C(KESLNX_64 /i /s) on
    the managed host.
  - The script is first compared with the live system (C(KESLNX_64 /o /cs)). When no question differs
    the task is unchanged and nothing is imported; otherwise it is imported, and the task is changed
    unless the tool reports that the system configuration was not modified.
  - Check mode reports the comparison without importing. Diff mode shows each differing question's
    block as the system has it (before) and as the script has it (after).
  - The tool's failures, an import that completed with errors (a protected variable without the
    admin password, a variable the firmware refused), and any value of the script the tool did not
    apply (any of the tool's "not updated" and "not imported" findings, such as a value out of range
    or not among the question's options, or a list or width that does not fit the question) fail the
    task with the tool's messages and status. A failed task never reports a refused value as applied.
author:
  - Kestrel developers (@kestrel)
requirements:
  - KESLNX_64 installed on the managed host, run as root
options:
  src:
    description:
      - The script file. A file on the controller, copied to the host for the run, unless I(remote_src)
        is set.
    type: path
    required: true
  remote_src:
    description:
      - I(src) is a file already on the managed host.
    type: bool
    default: false
  restricted:
    description:
      - Restricted migration (C(/r)), where the import is all or nothing. A question of the script that the
        system does not have, a value it does not accept, or a script made for another firmware build
        stops the import before anything is written, and a variable write the firmware refuses puts
        back every variable the import had written.
      - When false, the tool skips what it does not accept and applies the rest; the task still fails
        when a value was not applied, but the other values stay written.
    type: bool
    default: true
extends_documentation_fragment:
  - kestrel.bios.common
  - kestrel.bios.common.admin_password
attributes:
  action:
    description: Indicates this has a corresponding action plugin so some parts of the options can be executed on the controller.
    support: full
  check_mode:
    description: Can run in check mode and return changed status prediction without modifying the firmware.
    support: full
  diff_mode:
    description: Will return details on what has changed (or possibly needs changing in check mode), when in diff mode.
    support: full
'''

EXAMPLES = r'''
- name: Apply the golden Setup of the rack (all or nothing)
  kestrel.bios.bios_script:
    src: files/rack7-setup.txt
    admin_password: "{{ vault_bios_admin_password }}"

- name: Apply what this host accepts of a script made on another model
  kestrel.bios.bios_script:
    src: files/common-setup.txt
    restricted: false
'''

RETURN = r'''
differences:
  description: The number of questions whose block differs between the system and the script before the run.
  returned: always
  type: int
  sample: 1
stdout:
  description: What the import printed on standard output.
  returned: when an import ran
  type: str
stderr:
  description: The import's messages (warnings, errors, its summary line).
  returned: when an import ran
  type: str
rc:
  description: The import's exit status.
  returned: when an import ran
  type: int
  sample: 13
refused:
  description: The tool's findings about values of the script it did not apply, one line each.
  returned: when an import ran and refused a value
  type: list
  elements: str
  sample: ["WARNING : Value for control (Root Port 1 Max Payload) not updated as the value/defaults specified in the script file exceeds the maximum range"]
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kestrel.bios.plugins.module_utils.kestrel import (
    COMMON_ARGS, TOOL, Runner, messages, refusals, write_failure)

NOT_MODIFIED = 'System configuration not modified'


def question_blocks(text):
    """The blocks of a compare's output that describe a question, in order."""
    blocks = [block.strip('\r\n') for block in text.replace('\r\n', '\n').split('\n\n')]
    return [block for block in blocks if block.startswith('Setup Question')]


def compare_diff(blocks):
    """Before (the system) and after (the script) of a compare that lists the script's block of each
    differing question followed by the system's."""
    script, system = blocks[0::2], blocks[1::2]
    return dict(before='\n\n'.join(system) + '\n', after='\n\n'.join(script) + '\n',
                before_header='system', after_header='script')


def main():
    argument_spec = dict(
        src=dict(type='path', required=True),
        remote_src=dict(type='bool', default=False),
        restricted=dict(type='bool', default=True),
        admin_password=dict(type='str', no_log=True),
    )
    argument_spec.update(COMMON_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    src = module.params['src']
    if not os.path.isfile(src):
        module.fail_json(msg='the script file %s does not exist on the host' % src)
    runner = Runner(module)

    # The single-file compare exports the live settings into Tempfile.txt in the working directory:
    # the module's private directory.
    rc, out, err = runner.run(TOOL, ['/o', '/cs', src, '/hb'])
    if rc != 0:
        module.fail_json(msg='comparing %s with the system failed: %s' % (src, messages(err) or 'status %d' % rc),
                         rc=rc, stderr=err)
    blocks = question_blocks(out)
    result = dict(changed=bool(blocks), differences=len(blocks) // 2)
    if module._diff and blocks:
        result['diff'] = compare_diff(blocks)
    if not blocks or module.check_mode:
        module.exit_json(**result)

    args = ['/i', '/s', src, '/hb']
    if module.params['restricted']:
        args.append('/r')
    args += runner.password_args()
    rc, out, err = runner.run(TOOL, args)
    result.update(stdout=out, stderr=err, rc=rc)
    # Under /r a failed import wrote nothing (or put back what it wrote); otherwise what the tool
    # accepted stays written even when the task fails.
    result['changed'] = rc == 0 and NOT_MODIFIED not in err
    refused = refusals(err)
    if refused:
        result['refused'] = refused
    if rc != 0 or refused or write_failure(err):
        module.fail_json(msg='importing %s failed (status %d): %s' % (src, rc, messages(err) or 'no message'), **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
