#!/usr/bin/env python3
"""A fleet of emulated hosts for the kestrel.bios collection: each host is a local alias with its
own kestrel-fwemu mount as firmware root. Used by the playbook tests and by `scripts/demo.sh --fleet`.

    python3 tests/ansible/fleet.py demo BUILD_DIR    (the demo: three hosts, two attributes)
    python3 tests/ansible/fleet.py html BUILD_DIR PAGE
                                   (three hosts, two with changed settings: their compare page)
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COLLECTIONS = os.path.join(REPO, 'ansible')
PLAYBOOKS = os.path.join(REPO, 'tests', 'ansible', 'playbooks')
CALLBACKS = os.path.join(REPO, 'tests', 'ansible', 'callback_plugins')
MAILBOX = 'KMBX-'  # the mailbox variable changes on every request; it is no setting


def find_program(build, name):
    for root, _, files in os.walk(build):
        if name in files and os.access(os.path.join(root, name), os.X_OK):
            return os.path.join(root, name)
    raise RuntimeError('the build %s has no %s' % (build, name))


class Host:
    def __init__(self, name, image, mount, config=''):
        self.name, self.image, self.mount, self.config = name, image, mount, config
        self.process = None
        self.log = mount + '.log'
        self.state = mount + '-journal'  # kestrel-attrs's journal on this host

    def efivars(self):
        return os.path.join(self.mount, 'efi', 'efivars')

    def variables(self):
        """Every variable's efivarfs content but the mailbox's, by file name."""
        result = {}
        for name in sorted(os.listdir(self.efivars())):
            if not name.startswith(MAILBOX):
                with open(os.path.join(self.efivars(), name), 'rb') as handle:
                    result[name] = handle.read()
        return result


class Fleet:
    """Emulated hosts: `hosts` is a list of (name, fwemu.conf text). Always unmounts on exit."""

    def __init__(self, build, hosts):
        self.build = os.path.abspath(build)
        self.dir = tempfile.mkdtemp(prefix='kestrel-fleet-')
        self.emulator = find_program(self.build, 'kestrel-fwemu')
        # The tools installed on every host: one directory, as a package would place them.
        self.bin = os.path.join(self.dir, 'bin')
        os.makedirs(self.bin)
        for name in ('KESLNX_64', 'kestrel-attrs'):
            os.symlink(find_program(self.build, name), os.path.join(self.bin, name))
        # Nothing here may ever shut the machine down: a stub `shutdown` comes first in PATH.
        stub = os.path.join(self.dir, 'stub')
        os.makedirs(stub)
        with open(os.path.join(stub, 'shutdown'), 'w') as handle:
            handle.write('#!/bin/sh\nexit 0\n')
        os.chmod(os.path.join(stub, 'shutdown'), 0o755)
        self.env = dict(os.environ, PATH=stub + os.pathsep + os.environ.get('PATH', ''),
                        ANSIBLE_COLLECTIONS_PATH=COLLECTIONS, ANSIBLE_CALLBACK_PLUGINS=CALLBACKS,
                        ANSIBLE_LOCAL_TEMP=os.path.join(self.dir, 'ansible-local'),
                        ANSIBLE_REMOTE_TMP=os.path.join(self.dir, 'ansible-remote'), ANSIBLE_NOCOLOR='1',
                        ANSIBLE_RETRY_FILES_ENABLED='0', ANSIBLE_HOST_KEY_CHECKING='0', ANSIBLE_FORCE_COLOR='0',
                        ANSIBLE_DEPRECATION_WARNINGS='0', ANSIBLE_PYTHON_INTERPRETER=sys.executable)
        self.env.pop('ANSIBLE_CONFIG', None)
        # One boot id for the whole fleet: reboot() gives every host a new one.
        self.boot_id = os.path.join(self.dir, 'boot_id')
        self.boots = 0
        self.reboot()
        self.env['KESTREL_BOOT_ID'] = self.boot_id
        self.hosts = []
        image = os.path.join(self.build, 'demo-image')
        for name, config in hosts:
            host_image = os.path.join(self.dir, name + '-image')
            shutil.copytree(image, host_image)
            with open(os.path.join(host_image, 'fwemu.conf'), 'w') as handle:
                handle.write(config)
            mount = os.path.join(self.dir, name)
            os.makedirs(mount)
            self.hosts.append(Host(name, host_image, mount, config))
        self.inventory = os.path.join(self.dir, 'inventory.json')

    def __enter__(self):
        try:
            for host in self.hosts:
                self._start(host)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        self.write_inventory()
        return self

    def __exit__(self, *exc):
        for host in self.hosts:
            self._stop(host)
        shutil.rmtree(self.dir, ignore_errors=True)

    def _start(self, host):
        with open(host.log, 'w') as log:
            host.process = subprocess.Popen([self.emulator, '--foreground', host.image, host.mount],
                                            stdout=log, stderr=subprocess.STDOUT)
        for _ in range(200):
            if host.process.poll() is not None:
                break
            if os.path.ismount(host.mount) and os.path.isdir(host.efivars()):
                return
            time.sleep(0.05)
        with open(host.log) as log:
            raise RuntimeError('the emulator of %s did not come up: %s' % (host.name, log.read()))

    def _stop(self, host):
        if host.process is None:
            return
        if os.path.ismount(host.mount):
            subprocess.call(['fusermount3', '-u', host.mount], stderr=subprocess.DEVNULL)
        try:
            host.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            host.process.kill()
            host.process.wait()
            subprocess.call(['fusermount3', '-u', '-z', host.mount], stderr=subprocess.DEVNULL)
        host.process = None

    def write_inventory(self, extra=None):
        hosts = {}
        for host in self.hosts:
            hosts[host.name] = dict(ansible_connection='local', kestrel_root=host.mount, kestrel_bin=self.bin,
                                    kestrel_state=host.state)
            hosts[host.name].update((extra or {}).get(host.name, {}))
        with open(self.inventory, 'w') as handle:
            json.dump({'all': {'hosts': hosts}}, handle)

    def tool(self, host, *args):
        """Runs kestrel-attrs or KESLNX_64 on a host's firmware; (status, stdout, stderr)."""
        env = dict(self.env, KESTREL_SYSFS_FIRMWARE=host.mount, KESTREL_STATE_DIR=host.state)
        done = subprocess.run([os.path.join(self.bin, args[0])] + list(args[1:]), env=env, cwd=self.dir,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, check=False)
        return done.returncode, done.stdout, done.stderr

    def reboot(self):
        """Every host boots again: another boot id (the variables stay as they are)."""
        self.boots += 1
        with open(self.boot_id, 'w') as handle:
            handle.write('fleet-boot-%d\n' % self.boots)

    def get(self, host, *names):
        status, out, err = self.tool(host, 'kestrel-attrs', 'get', *names)
        if status != 0:
            raise RuntimeError('kestrel-attrs get on %s: %s' % (host.name, err))
        return json.loads(out)['Attributes']

    def playbook(self, name, extra_vars=None, options=(), json_output=True):
        """Runs a playbook of tests/ansible/playbooks on the fleet: (status, output, results) where
        results maps each host to its result of the play's first task."""
        command = ['ansible-playbook', '-i', self.inventory, os.path.join(PLAYBOOKS, name)] + list(options)
        if extra_vars is not None:
            command += ['-e', json.dumps(extra_vars)]
        env = dict(self.env, ANSIBLE_STDOUT_CALLBACK='task_results' if json_output else 'default')
        done = subprocess.run(command, env=env, cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, check=False)
        results = {}
        if json_output and done.stdout.strip():
            results = json.loads(done.stdout.strip().splitlines()[-1])
        return done.returncode, done.stdout + done.stderr, results


def demo(build):
    """Three hosts, one playbook setting two attributes with a diff, run twice; each host's new values."""
    wanted = {'MAIN002': 20, 'PROC001': 'Disabled'}
    with Fleet(build, [('rack7-node1', ''), ('rack7-node2', ''), ('rack7-node3', '')]) as fleet:
        # Different starting points: node2 already has one of the values.
        fleet.tool(fleet.hosts[1], 'kestrel-attrs', 'set', 'PROC001=Disabled')
        for run in ('first run: two attributes on three hosts', 'second run: nothing left to change'):
            print('==> ansible-playbook --diff converge.yml (%s)' % run, flush=True)
            status, output, _ = fleet.playbook('converge.yml', {'wanted': wanted}, ['--diff'], json_output=False)
            print(output, flush=True)
            if status != 0:
                return status
        print('==> The new values, read back from each host')
        for host in fleet.hosts:
            print('%s: %s' % (host.name, json.dumps(fleet.get(host, *wanted))))
    return 0


def html(build, page):
    """Three hosts, two of them with settings changed through kestrel-attrs set; each host's Bios
    document (kestrel-attrs get), and the compare page of the three, with the first host's menus."""
    changes = {'rack7-node2': ['PROC001=Disabled'], 'rack7-node3': ['MAIN002=20', 'SATA001=Disabled']}
    with Fleet(build, [('rack7-node1', ''), ('rack7-node2', ''), ('rack7-node3', '')]) as fleet:
        documents = []
        for host in fleet.hosts:
            if host.name in changes:
                print('==> %s: kestrel-attrs set %s' % (host.name, ' '.join(changes[host.name])), flush=True)
            for command in ([['set'] + changes[host.name]] if host.name in changes else []) + \
                    [['get', '-o', os.path.join(fleet.dir, host.name + '.json')]]:
                status, _, err = fleet.tool(host, 'kestrel-attrs', *command)
                if status != 0:
                    sys.stderr.write('kestrel-attrs %s on %s: %s' % (command[0], host.name, err))
                    return status
            documents.append(os.path.join(fleet.dir, host.name + '.json'))
        status, _, err = fleet.tool(fleet.hosts[0], 'kestrel-attrs', 'html', '--compare', *documents,
                                    '-o', os.path.abspath(page))
        if status != 0:
            sys.stderr.write('kestrel-attrs html --compare: %s' % err)
        return status


if __name__ == '__main__':
    if len(sys.argv) == 3 and sys.argv[1] == 'demo':
        sys.exit(demo(sys.argv[2]))
    if len(sys.argv) == 4 and sys.argv[1] == 'html':
        sys.exit(html(sys.argv[2], sys.argv[3]))
    sys.exit(__doc__)
