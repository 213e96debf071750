#!/usr/bin/env python3
"""Playbooks of the kestrel.bios collection run by ansible-playbook -c local against three emulated
hosts: two plain demo firmwares with different starting values and one whose Setup variable is
protected by an admin password.

    python3 tests/ansible/test_playbooks.py BUILD_DIR
"""
import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fleet import Fleet  # noqa: E402

BUILD = None
WANTED = {'MAIN002': 20, 'PROC001': 'Disabled', 'SVC001': 'RACK-7'}
PASSWORD = 'secret'


class Playbooks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fleet = Fleet(BUILD, [('h1', ''), ('h2', ''),
                                  ('h3', 'admin_password = %s\nprotected_variables = Setup\n' % PASSWORD)])
        cls.fleet.__enter__()
        cls.h1, cls.h2, cls.h3 = cls.fleet.hosts
        status, _, err = cls.fleet.tool(cls.h2, 'kestrel-attrs', 'set', 'MAIN002=5', 'PROC001=Disabled')
        assert status == 0, err

    @classmethod
    def tearDownClass(cls):
        cls.fleet.__exit__(None, None, None)

    def setUp(self):
        self.inventory()

    def inventory(self, extra=None):
        """The inventory: h3 has its admin password unless `extra` gives h3 other variables."""
        self.fleet.write_inventory(dict({'h3': {'kestrel_admin_password': PASSWORD}}, **(extra or {})))

    def snapshot(self):
        return dict((host.name, host.variables()) for host in self.fleet.hosts)

    def converge(self, wanted=None, options=()):
        return self.fleet.playbook('converge.yml', {'wanted': wanted or WANTED}, options)

    def test_converge_check_diff_and_second_run(self):
        before = self.snapshot()
        status, output, results = self.converge(options=['--check'])
        self.assertEqual(status, 0, output)
        self.assertEqual(before, self.snapshot(), 'check mode wrote a variable')
        self.assertEqual(results['h2']['changed_attributes'],
                         {'MAIN002': {'old': 5, 'new': 20}, 'SVC001': {'old': 'KST-0042', 'new': 'RACK-7'}})

        status, output, _ = self.fleet.playbook('converge.yml', {'wanted': WANTED}, ['--diff'], json_output=False)
        self.assertEqual(status, 0, output)
        for line in ('-    "MAIN002": 10,', '-    "MAIN002": 5,', '+    "MAIN002": 20,', '+    "SVC001": "RACK-7"'):
            self.assertIn(line, output)
        for host in self.fleet.hosts:
            self.assertEqual(self.fleet.get(host, *WANTED), WANTED, host.name)

        after = self.snapshot()
        status, output, results = self.converge()
        self.assertEqual(status, 0, output)
        for name, result in results.items():
            self.assertFalse(result['changed'], name)
            self.assertEqual(result['changed_attributes'], {}, name)
        self.assertEqual(after, self.snapshot(), 'an unchanged run wrote a variable')

        status, output, results = self.fleet.playbook('info.yml')
        self.assertEqual(status, 0, output)
        for name, result in results.items():
            facts = result['ansible_facts']['kestrel_bios']
            self.assertEqual(dict((n, facts['attributes'][n]) for n in WANTED), WANTED, name)
            self.assertEqual(facts['registry']['MAIN002']['UpperBound'], 60)
            self.assertEqual(facts['defaults']['bios']['MAIN002'], 0)
            self.assertIn('MAIN002', facts['defaults']['mfg'])

    def test_failures_fail_every_host_and_write_nothing(self):
        # (extra inventory variables, attributes, hosts expected to fail, text of their message)
        cases = [
            ({}, dict(WANTED, ADV001='Bogus', MAIN002=61), ['h1', 'h2', 'h3'], 'ADV001'),
            ({'h3': {}}, {'MAIN002': 33}, ['h3'], 'Cannot update protected variable'),
            ({'h1': {'kestrel_bin': '/nonexistent'}}, {'MAIN002': 33}, ['h1'], 'was not found in /nonexistent'),
            ({'h2': {'kestrel_root': self.fleet.dir}}, {'MAIN002': 33}, ['h2'], 'kestrel-attrs'),
        ]
        for extra, wanted, failing, text in cases:
            with self.subTest(failing=failing, text=text):
                self.inventory(extra)
                before = self.snapshot()
                status, output, results = self.converge(wanted)
                self.assertNotEqual(status, 0, output)
                self.assertNotIn('Traceback', output)
                self.assertEqual(sorted(n for n, r in results.items() if r.get('failed')), failing, output)
                for name in failing:
                    self.assertIn(text, results[name]['msg'])
                    self.assertEqual(before[name], self.snapshot()[name], name + ' was written')
                if len(failing) == 3:
                    for result in results.values():
                        self.assertEqual(sorted(result['invalid_attributes']), ['ADV001', 'MAIN002'])

    def test_journal_set_reboot_verify_and_rollback(self):
        limit = ['--limit', 'h1,h2']
        wanted = {'MAIN002': 30, 'SVC001': 'RACK-9'}
        before = self.fleet.get(self.h1, *wanted), self.fleet.get(self.h2, *wanted)
        status, output, results = self.converge(wanted, limit)
        self.assertEqual(status, 0, output)
        for name in ('h1', 'h2'):
            self.assertIsInstance(results[name]['journal_entry'], int, output)

        # Before the reboot nothing can be verified: every host fails, saying so.
        status, output, results = self.fleet.playbook('verify.yml', options=limit)
        self.assertNotEqual(status, 0, output)
        for name in ('h1', 'h2'):
            self.assertIn('not rebooted', results[name]['msg'])
            self.assertEqual(results[name]['ansible_facts']['kestrel_bios_verify']['status'], 'pending-reboot')

        # After it, h2's firmware has adjusted a value (written without the journal, as POST would).
        self.fleet.reboot()
        status, _, err = self.fleet.tool(self.h2, 'kestrel-attrs', '--no-journal', 'set', 'MAIN002=25')
        self.assertEqual(status, 0, err)
        status, output, results = self.fleet.playbook('verify.yml', options=limit)
        self.assertNotEqual(status, 0, output)
        self.assertFalse(results['h1'].get('failed'), output)
        facts = dict((name, results[name]['ansible_facts']['kestrel_bios_verify']) for name in ('h1', 'h2'))
        self.assertEqual(facts['h1']['status'], 'verified')
        self.assertEqual(facts['h2']['attributes']['MAIN002'],
                         {'status': 'adjusted', 'requested': 30, 'current': 25, 'old': before[1]['MAIN002']})
        self.assertEqual(facts['h2']['attributes']['SVC001']['status'], 'applied')
        self.assertTrue(results['h2']['failed'])
        self.assertEqual(results['h2']['not_held'], {'MAIN002': 'adjusted'})

        # The rollback play puts both hosts back; a second run changes nothing.
        for changed in (True, False):
            status, output, results = self.fleet.playbook('rollback.yml', options=limit)
            self.assertEqual(status, 0, output)
            for name in ('h1', 'h2'):
                self.assertEqual(results[name]['changed'], changed, (name, output))
        self.assertEqual((self.fleet.get(self.h1, *wanted), self.fleet.get(self.h2, *wanted)), before)

    def test_script_applied_to_two_hosts_then_unchanged(self):
        script = os.path.join(self.fleet.dir, 'edited.txt')
        status, _, err = self.fleet.tool(self.h1, 'KESLNX_64', '/o', '/s', script, '/q')
        self.assertEqual(status, 0, err)
        with open(script, encoding='utf-8') as handle:
            text = handle.read()
        # Quiet Boot from Enabled to Disabled: the "*" moves to the other option.
        block = re.compile(r'(Setup Question\t= Quiet Boot\n(?:.+\n)*?Options\t=)\[00\]Disabled(.*\n\s+)\*\[01\]')
        edited, count = block.subn(r'\1*[00]Disabled\2[01]', text)
        self.assertEqual(count, 1)
        with open(script, 'w', encoding='utf-8') as handle:
            handle.write(edited)

        limit = ['--limit', 'h1,h2']
        # The tool's own export, edited, imports cleanly under /r: the restricted run applies it.
        runs = [  # (options, restricted, changed expected on both hosts)
            (['--check', '--diff'], True, True),
            ([], True, True),
            ([], False, False),
        ]
        for options, restricted, changed in runs:
            before = self.snapshot()
            status, output, results = self.fleet.playbook(
                'script.yml', {'script': script, 'restricted': restricted}, limit + options)
            self.assertEqual(status, 0, output)
            self.assertEqual(sorted(results), ['h1', 'h2'])
            for name, result in results.items():
                self.assertEqual(result['changed'], changed, (options, name, output))
            if '--check' in options:
                self.assertEqual(before, self.snapshot(), 'check mode wrote a variable')
                self.assertIn('*[00]Disabled', results['h1']['diff']['after'])
                self.assertIn('*[01]Enabled', results['h1']['diff']['before'])
        quiet = json.loads(self.fleet.tool(self.h1, 'kestrel-attrs', 'registry')[1])['RegistryEntries']['Attributes']
        name = next(a['AttributeName'] for a in quiet if a['DisplayName'] == 'Quiet Boot')
        for host in (self.h1, self.h2):
            self.assertEqual(self.fleet.get(host, name), {name: 'Disabled'}, host.name)
        self.assertEqual(self.fleet.get(self.h3, name), {name: 'Enabled'})

    def test_script_with_a_value_out_of_range_fails_every_host(self):
        script = os.path.join(self.fleet.dir, 'payload.txt')
        status, _, err = self.fleet.tool(self.h1, 'KESLNX_64', '/o', '/s', script, '/q')
        self.assertEqual(status, 0, err)
        with open(script, encoding='utf-8') as handle:
            text = handle.read()
        # Root Port 2 Max Payload from Auto to 256 Bytes, and Root Port 1 Max Payload to a value
        # none of its options has.
        for port, old, new in (('2', '[01]256 Bytes', '*[01]256 Bytes'), ('2', '*[07]Auto', '[07]Auto'),
                               ('1', '*[07]Auto', '*[05]Auto')):
            start = text.index('Setup Question\t= Root Port %s Max Payload\n' % port)
            at = text.index(old, start)
            text = text[:at] + new + text[at + len(old):]
        with open(script, 'w', encoding='utf-8') as handle:
            handle.write(text)
        registry = json.loads(self.fleet.tool(self.h1, 'kestrel-attrs', 'registry')[1])['RegistryEntries']['Attributes']
        payload = next(a['AttributeName'] for a in registry if a['DisplayName'] == 'Root Port 2 Max Payload')

        limit = ['--limit', 'h1,h2']
        # (restricted, the tool's status, the other value written)
        for restricted, rc, written in ((None, 13, False), (False, 0, True)):
            with self.subTest(restricted=restricted):
                before = self.snapshot()
                extra = {'script': script}
                if restricted is not None:
                    extra['restricted'] = restricted
                status, output, results = self.fleet.playbook('script.yml', extra, limit)
                self.assertNotEqual(status, 0, output)
                self.assertEqual(sorted(results), ['h1', 'h2'])
                for name, result in results.items():
                    self.assertTrue(result.get('failed'), (name, output))
                    self.assertIn('(status %d)' % rc, result['msg'])
                    self.assertIn('Value for control (Root Port 1 Max Payload) not updated', result['msg'])
                    self.assertEqual(result['rc'], rc)
                    self.assertEqual(len(result['refused']), 1, result['refused'])
                    self.assertEqual(result['changed'], written)
                after = self.snapshot()
                for host in (self.h1, self.h2):
                    self.assertEqual(before[host.name] != after[host.name], written, host.name)
                    self.assertEqual(self.fleet.get(host, payload)[payload], 'Q_256_Bytes' if written else 'Auto')


if __name__ == '__main__':
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    BUILD = sys.argv.pop(1)
    unittest.main(verbosity=2)
