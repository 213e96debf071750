# -*- coding: utf-8 -*-
# The controller side of kestrel.bios.bios_script: copies the script file from the controller to
# the host's temporary directory (unless remote_src) and runs the module on that copy.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

from ansible.errors import AnsibleError
from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):

    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        args = self._task.args.copy()
        try:
            if not boolean(args.get('remote_src', False), strict=False):
                if not args.get('src'):
                    raise AnsibleError('src is required')
                local = self._find_needle('files', args['src'])
                remote = self._connection._shell.join_path(self._connection._shell.tmpdir, 'kestrel-script.txt')
                self._transfer_file(local, remote)
                self._fixup_perms2((self._connection._shell.tmpdir, remote))
                args.update(src=remote, remote_src=True)
            result.update(self._execute_module(module_name='kestrel.bios.bios_script', module_args=args,
                                               task_vars=task_vars))
        except AnsibleError as e:
            result.update(failed=True, msg=str(e))
        finally:
            self._remove_tmp_path(self._connection._shell.tmpdir)
        return result
