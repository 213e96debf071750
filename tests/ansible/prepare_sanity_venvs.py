#!/usr/bin/env python3
"""Prepares, offline, the virtual environments `ansible-test sanity` runs its linters in, from the
system's packages (Debian's pylint, pycodestyle, yamllint, voluptuous, jinja2, PyYAML).

ansible-test keeps one environment per sanity test under ~/.ansible/test/venv/, named by a hash of
the pip requirements it would install, and reuses any environment that has its marker file. This
creates each of them as `python3 -m venv --system-site-packages` at the path ansible-test computes
itself, so ansible-test finds them ready and never calls pip.

    python3 tests/ansible/prepare_sanity_venvs.py    (run inside the collection's directory)
"""
import glob
import json
import os
import pathlib
import subprocess
import sys

import ansible_test
from ansible_test._internal.commands.sanity import hash_pip_commands
from ansible_test._internal.host_configs import NativePythonConfig, VirtualPythonConfig
from ansible_test._internal.python_requirements import collect_requirements
from ansible_test._internal.util_common import yamlcheck


def sanity_names():
    """(name, minimize) of every environment a sanity run may ask for."""
    data = os.path.join(os.path.dirname(ansible_test.__file__), '_data', 'requirements')
    names = [(os.path.basename(path)[len('sanity.'):-len('.txt')], False)
             for path in glob.glob(os.path.join(data, 'sanity.*.txt'))]
    # The import test asks for one environment per kind of plugin, with the minimal requirements.
    names = [(n, m) for n, m in names if not n.startswith('import.')]
    return names + [('import.module', True), ('import.plugin', True)]


def main():
    version = '%d.%d' % sys.version_info[:2]
    python = NativePythonConfig(version=version, path=sys.executable)
    cache = os.path.expanduser('~/.ansible/test/venv')
    for name, minimize in sanity_names():
        commands = collect_requirements(python=python, controller=True, virtualenv=False, command=None, ansible=False,
                                        cryptography=False, coverage=False, minimize=minimize, sanity=name)
        label = 'sanity.' + name if commands else 'sanity'
        path = os.path.join(cache, label, version, hash_pip_commands(commands))
        if os.path.exists(os.path.join(path, 'marker.txt')):
            continue
        subprocess.run([sys.executable, '-m', 'venv', '--system-site-packages', '--without-pip', '--clear', path],
                       check=True)
        with open(os.path.join(path, 'meta.install.json'), 'w') as handle:
            json.dump([command.serialize() for command in commands], handle, indent=4)
        with open(os.path.join(path, 'meta.yaml.json'), 'w') as handle:
            json.dump(yamlcheck(VirtualPythonConfig(version=version, path=os.path.join(path, 'bin', 'python'))), handle)
        pathlib.Path(path, 'marker.txt').touch()
        print('prepared %s' % path)


if __name__ == '__main__':
    main()
