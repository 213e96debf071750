# -*- coding: utf-8 -*-
# Options that every module of the collection shares, documented once.

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):

    DOCUMENTATION = r'''
options:
  firmware_root:
    description:
      - The firmware tree the tool works on (C(KESTREL_SYSFS_FIRMWARE)); the tool's default is C(/sys/firmware).
    type: path
  binary_dir:
    description:
      - The directory holding the Kestrel tools (C(kestrel-attrs), C(KESLNX_64)). By default they are looked
        for in C(PATH), C(/usr/local/sbin), C(/usr/local/bin), C(/usr/sbin) and C(/opt/kestrel/bin).
    type: path
'''

    JOURNAL = r'''
options:
  state_dir:
    description:
      - The directory of kestrel-attrs's journal (C(KESTREL_STATE_DIR)), where every change is recorded so that it
        can be verified after the reboot and rolled back; the tool's default is C(/var/lib/kestrel/journal).
    type: path
'''

    ADMIN_PASSWORD = r'''
options:
  admin_password:
    description:
      - The current Setup administrator password, needed to write protected variables. It is handed to
        the tool in a private temporary file, never on a command line. Not used in check mode.
    type: str
'''
