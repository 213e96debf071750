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
  - The tool's failures, and an import that completed with errors (a protected variable without the
    admin password, a variable the firmware refused), fail the task with the tool's messages.
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
      - Restricted migration (C(/r)). A question of the script that the system does not have, or a value
        it does not accept, stops the import instead of being skipped with a warning.
    type: bool
    default: false
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
- name: Apply the golden Setup of the rack
  kestrel.bios.bios_script:
    src: files/rack7-setup.txt
    restricted: true
    admin_password: "{{ vault_bios_admin_password }}"
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
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kestrel.bios.plugins.module_utils.kestrel import (
    COMMON_ARGS, TOOL, Runner, messages, write_failure)

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
        restricted=dict(type='bool', default=False),
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
    result.update(stdout=out, stderr=err)
    refused = write_failure(err)
    if rc != 0 or refused:
        module.fail_json(msg='importing %s failed: %s' % (src, messages(err) or 'status %d' % rc), rc=rc, **result)
    if NOT_MODIFIED in err:
        result['changed'] = False
    module.exit_json(**result)


if __name__ == '__main__':
    main()
