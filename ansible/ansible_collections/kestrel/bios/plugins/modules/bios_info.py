#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: bios_info
short_description: Read UEFI Setup attributes and their registry as facts
version_added: 1.0.0
description:
  - Reads the current Setup attributes and the attribute registry through C(kestrel-attrs) on the
    managed host and returns them as facts under C(ansible_facts.kestrel_bios), for conditions and reports.
author:
  - Kestrel developers (@kestrel)
requirements:
  - kestrel-attrs installed on the managed host, run as root
options:
  defaults:
    description:
      - Also return the BIOS defaults and the manufacturing defaults of every attribute.
    type: bool
    default: false
extends_documentation_fragment:
  - kestrel.bios.common
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
- name: Read the Setup of every host
  kestrel.bios.bios_info:
    defaults: true

- name: Hosts still running with Hyper-Threading
  ansible.builtin.debug:
    msg: "{{ inventory_hostname }}: {{ ansible_facts.kestrel_bios.attributes.PROC001 }}"
  when: ansible_facts.kestrel_bios.attributes.PROC001 == 'Enabled'
'''

RETURN = r'''
ansible_facts:
  description: The facts.
  returned: always
  type: complex
  contains:
    kestrel_bios:
      description: The Setup of the host.
      returned: always
      type: complex
      contains:
        attributes:
          description: Attribute name to its current value, typed (integers, booleans, strings).
          returned: always
          type: dict
          sample: {"MAIN002": 10, "PROC001": "Enabled", "PROC009": false}
        registry:
          description: Attribute name to its registry entry (type, bounds, options, menu path, flags).
          returned: always
          type: dict
        defaults:
          description: The BIOS defaults (C(bios)) and manufacturing defaults (C(mfg)), name to value.
          returned: when I(defaults=true)
          type: dict
          sample: {"bios": {"MAIN002": 0}, "mfg": {"MAIN002": 0}}
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kestrel.bios.plugins.module_utils.kestrel import COMMON_ARGS, Runner


def registry_by_name(registry):
    """The registry's entries keyed by attribute name."""
    entries = registry.get('RegistryEntries', {}).get('Attributes', [])
    return dict((entry['AttributeName'], entry) for entry in entries if 'AttributeName' in entry)


def main():
    argument_spec = dict(defaults=dict(type='bool', default=False))
    argument_spec.update(COMMON_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    runner = Runner(module)

    facts = dict(
        attributes=runner.document(['get'], 'current values').get('Attributes', {}),
        registry=registry_by_name(runner.document(['registry'], 'attribute registry')),
    )
    if module.params['defaults']:
        facts['defaults'] = dict(
            (kind, runner.document(['get', '--defaults', kind], kind.upper() + ' defaults').get('Attributes', {}))
            for kind in ('bios', 'mfg'))
    module.exit_json(changed=False, ansible_facts=dict(kestrel_bios=facts))


if __name__ == '__main__':
    main()
