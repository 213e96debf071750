# -*- coding: utf-8 -*-
# Running kestrel-attrs and KESLNX_64 on the managed host for the kestrel.bios modules: finding
# the programs, the firmware root, the admin password file, and turning the tools' statuses and
# messages into task results. The tools do all the work; this only calls them.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import tempfile

ATTRS = 'kestrel-attrs'
TOOL = 'KESLNX_64'

# Where an installed tool is looked for besides PATH.
EXTRA_DIRS = ['/usr/local/sbin', '/usr/local/bin', '/usr/sbin', '/opt/kestrel/bin']

# Lines of the tool that mean a write did not take place although its status may be 0.
WRITE_FAILURES = ('completed with some errors', 'Cannot update protected variable')

COMMON_ARGS = dict(
    firmware_root=dict(type='path'),
    binary_dir=dict(type='path'),
)

# The modules that change the firmware, verify or roll back: where kestrel-attrs keeps its journal.
JOURNAL_ARGS = dict(
    state_dir=dict(type='path'),
)


def messages(*texts):
    """The non-empty lines of the tools' output, joined for a task's msg."""
    lines = []
    for text in texts:
        for line in (text or '').splitlines():
            line = line.strip()
            if line:
                lines.append(line)
    return ' '.join(lines)


# Findings of an import that mean a value of the script was not applied: the tool reports them
# and goes on (status 0) unless the import is restricted (/r).
REFUSALS = ('not updated', 'not imported', 'mismatch for setup question')


def write_failure(text):
    """The first line reporting a refused write, or None."""
    for line in (text or '').splitlines():
        if any(marker in line for marker in WRITE_FAILURES):
            return line.strip()
    return None


def refusals(text):
    """The lines saying that a value of the script was not applied, in order."""
    return [line.strip() for line in (text or '').splitlines() if any(marker in line for marker in REFUSALS)]


class Runner:
    """Runs the tools for one module invocation."""

    def __init__(self, module):
        self.module = module
        self.environ = {'LC_ALL': 'C.UTF-8'}
        root = module.params.get('firmware_root')
        if root:
            self.environ['KESTREL_SYSFS_FIRMWARE'] = root
        state = module.params.get('state_dir')
        if state:
            self.environ['KESTREL_STATE_DIR'] = state
        self._password_file = None

    def find(self, name):
        binary_dir = self.module.params.get('binary_dir')
        if binary_dir:
            path = os.path.join(binary_dir, name)
            if os.path.isfile(path) and os.access(path, os.X_OK):
                return path
            self.module.fail_json(msg='%s was not found in %s' % (name, binary_dir))
        path = self.module.get_bin_path(name, required=False, opt_dirs=EXTRA_DIRS)
        if not path:
            self.module.fail_json(msg='%s is not installed on this host (not found in PATH or %s)'
                                  % (name, ', '.join(EXTRA_DIRS)))
        return path

    def password_args(self):
        """/cpwdf FILE for the admin password, written as UTF-16LE text to a private file, or []."""
        password = self.module.params.get('admin_password')
        if not password:
            return []
        if self._password_file is None:
            fd, path = tempfile.mkstemp(prefix='kestrel-pw-', dir=self.module.tmpdir)
            with os.fdopen(fd, 'wb') as handle:
                handle.write(password.encode('utf-16-le'))
            self._password_file = path
        return ['/cpwdf', self._password_file]

    def run(self, name, args, cwd=None):
        """(rc, stdout, stderr) of the tool. Its standard input is a pipe holding "q": a page prompt
        quits, a yes/no prompt reads end of file (no), and no run waits for a key."""
        command = [self.find(name)] + list(args)
        return self.module.run_command(command, environ_update=self.environ, cwd=cwd or self.module.tmpdir,
                                       data=b'q', binary_data=True, encoding='utf-8', errors='replace')

    def report(self, args, statuses):
        """(rc, report, stderr) of a kestrel-attrs command that prints a JSON report with the statuses
        given; any other status, or no JSON, fails the task with the tool's message."""
        rc, out, err = self.run(ATTRS, args)
        report = None
        if rc in statuses:
            try:
                report = json.loads(out)
            except ValueError:
                report = None
        if report is None:
            self.module.fail_json(msg='kestrel-attrs %s: %s' % (args[0] if args else '', messages(err) or 'status %d' % rc),
                                  rc=rc, stderr=err)
        return rc, report, err

    def document(self, args, what):
        """The JSON document kestrel-attrs prints for `args`, or the task fails with its message."""
        rc, out, err = self.run(ATTRS, args)
        if rc != 0:
            self.module.fail_json(msg='kestrel-attrs could not read the %s: %s' % (what, messages(err) or 'status %d' % rc),
                                  rc=rc, stderr=err)
        try:
            return json.loads(out)
        except ValueError as e:
            self.module.fail_json(msg='kestrel-attrs printed no JSON for the %s: %s' % (what, e), rc=rc, stderr=err)
