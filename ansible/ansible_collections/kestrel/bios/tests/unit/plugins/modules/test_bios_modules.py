# -*- coding: utf-8 -*-
# How the modules read the tools' reports, statuses and messages, and how a run of
# bios_attributes calls kestrel-attrs.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json

import pytest

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes
from ansible_collections.kestrel.bios.plugins.modules import bios_attributes, bios_rollback, bios_script, bios_verify

PROTECTED = 'WARNING : Cannot update protected variable Setup. Please use /cpwd <admin_pwd> to update protected variables.\n'


@pytest.mark.parametrize('rc, invalid, failed, err, expected', [
    (0, {}, {}, '', None),
    (0, {}, {}, 'Import completed with some errors, see warnings given.\n', 'completed with some errors'),
    (4, {}, {'MAIN002': 'writing the variable failed'}, PROTECTED, 'MAIN002: writing the variable failed; WARNING : Cannot update'),
    (3, {'ADV001': 'not an option'}, {}, '', 'invalid attributes, nothing was written: ADV001: not an option'),
    (5, {}, {}, 'kestrel-attrs: the current admin password was not accepted\n', 'password was not accepted'),
])
def test_failure_message(rc, invalid, failed, err, expected):
    message = bios_attributes.failure_message(rc, invalid, failed, err)
    if expected is None:
        assert message is None
    else:
        assert expected in message


def test_compare_blocks_pair_script_then_system():
    out = ('\nSetup Question\t= Quiet Boot\nOptions\t=*[00]Disabled\n\n'
           'Setup Question\t= Quiet Boot\nOptions\t=*[01]Enabled\n\n'
           'Setup Question\t= Timeout\nValue\t=<5>\n\nSetup Question\t= Timeout\nValue\t=<3>\n')
    blocks = bios_script.question_blocks(out)
    assert len(blocks) == 4
    diff = bios_script.compare_diff(blocks)
    assert '*[01]Enabled' in diff['before'] and '<3>' in diff['before']
    assert '*[00]Disabled' in diff['after'] and '<5>' in diff['after']
    assert bios_script.question_blocks('\r\n') == []


class Exit(Exception):
    pass


def run_module(mocker, module, args, tool_output):
    """Runs a module's main() with `args`; every tool run answers `tool_output`. Returns (result, commands)."""
    commands = []

    def run_command(self, command, **kwargs):
        commands.append(command)
        return tool_output

    def finish(self, **result):
        raise Exit(result)

    mocker.patch.object(basic, '_ANSIBLE_ARGS', to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': args})))
    mocker.patch.object(basic.AnsibleModule, 'run_command', run_command)
    mocker.patch.object(basic.AnsibleModule, 'exit_json', finish)
    mocker.patch.object(basic.AnsibleModule, 'fail_json', lambda self, **r: finish(self, failed=True, **r))
    mocker.patch.object(basic.AnsibleModule, 'get_bin_path', lambda self, name, **kw: '/usr/sbin/' + name)
    with pytest.raises(Exit) as done:
        module.main()
    return done.value.args[0], commands


REPORT = json.dumps({'DryRun': True, 'Changed': [{'AttributeName': 'MAIN002', 'OldValue': 10, 'NewValue': 20}],
                     'Unchanged': ['PROC009'], 'Refused': [], 'Failed': [], 'ResetRequired': True})


@pytest.mark.parametrize('check_mode, output, failed, changed', [
    (True, (0, REPORT, ''), False, True),
    (False, (0, REPORT, 'Import completed with some errors.\n'), True, True),
    (False, (5, '', 'kestrel-attrs: this platform is not supported\n'), True, False),
])
def test_bios_attributes_run(mocker, check_mode, output, failed, changed):
    args = {'attributes': {'MAIN002': 20, 'PROC009': False}, 'admin_password': 'S3cret!', '_ansible_check_mode': check_mode,
            '_ansible_diff': True}
    result, commands = run_module(mocker, bios_attributes, args, output)
    assert bool(result.get('failed')) == failed
    assert result.get('changed', False) == changed and 'S3cret' not in json.dumps(commands)
    command = commands[0]
    assert command[0] == '/usr/sbin/kestrel-attrs' and 'MAIN002=20' in command and 'PROC009=false' in command
    # The password goes to the tool in a file, and never in check mode, where nothing is written.
    assert ('--dry-run' in command) == check_mode and ('/cpwdf' in command) != check_mode
    if changed:
        assert result['changed_attributes'] == {'MAIN002': {'old': 10, 'new': 20}} and result['reboot_required']
        assert result['diff'] == {'before': {'MAIN002': 10}, 'after': {'MAIN002': 20}}


COMPARED = ('\nSetup Question\t= Quiet Boot\nOptions\t=*[00]Disabled\n\n'
            'Setup Question\t= Quiet Boot\nOptions\t=*[01]Enabled\n')
REFUSED = ('WARNING : Value for control (Root Port 1 Max Payload) not updated as the value/defaults specified in the '
           'script file exceeds the maximum range \n\nScript file imported successfully.\n')


@pytest.mark.parametrize('restricted, err, failed', [
    (None, '\nScript file imported successfully.\n', False),
    (None, REFUSED, True),
    (False, REFUSED, True),
])
def test_bios_script_run(mocker, tmp_path, restricted, err, failed):
    src = tmp_path / 'setup.txt'
    src.write_text('// Script File\n')
    args = {'src': str(src), 'remote_src': True}
    if restricted is not None:
        args['restricted'] = restricted
    result, commands = run_module(mocker, bios_script, args, (0, COMPARED, err))
    # The import is restricted unless asked otherwise; a refused value fails it even at status 0.
    assert ('/r' in commands[1]) == (restricted is not False)
    assert bool(result.get('failed')) == failed
    if failed:
        assert result['refused'] == [REFUSED.splitlines()[0].strip()]
        assert '(status 0)' in result['msg'] and 'not updated' in result['msg'] and result['rc'] == 0


def verify_report(statuses, rebooted=True):
    return json.dumps({'Entry': 4, 'Rebooted': rebooted, 'Status': 'whatever', 'Attributes': [
        {'AttributeName': name, 'Status': status, 'RequestedValue': 20, 'CurrentValue': 15, 'OldValue': 10}
        for name, status in statuses]})


@pytest.mark.parametrize('rc, statuses, failed, message', [
    (0, [('MAIN002', 'applied')], False, None),
    (6, [('MAIN002', 'pending-reboot')], True, 'not rebooted since journal entry 4'),
    (7, [('MAIN002', 'applied'), ('PROC001', 'reverted')], True, 'PROC001 reverted (requested 20, now 15)'),
])
def test_bios_verify_run(mocker, rc, statuses, failed, message):
    result, commands = run_module(mocker, bios_verify, {'entry': 4, 'state_dir': '/srv/journal'},
                                  (rc, verify_report(statuses, rc != 6), ''))
    assert commands[0][1:] == ['verify', '4']
    assert bool(result.get('failed')) == failed and not result['changed']
    facts = result['ansible_facts']['kestrel_bios_verify']
    assert facts['entry'] == 4 and facts['attributes']['MAIN002']['requested'] == 20
    if message:
        assert message in result['msg']


@pytest.mark.parametrize('check_mode, rc, report, failed, changed', [
    (False, 0, {'Entry': 4, 'Restored': [{'Variable': 'Setup-ec87'}], 'JournalEntry': 5, 'ResetRequired': True}, False, True),
    (True, 0, {'Entry': 4, 'Restored': [{'Variable': 'Setup-ec87'}]}, False, True),
    (False, 0, {'Entry': 4, 'Restored': []}, False, False),
    (False, 3, {'Entry': 4, 'Restored': [], 'Refused': [{'Variable': 'Setup-ec87', 'Reason': 'changed since'}]}, True, False),
])
def test_bios_rollback_run(mocker, check_mode, rc, report, failed, changed):
    result, commands = run_module(mocker, bios_rollback, {'_ansible_check_mode': check_mode},
                                  (rc, json.dumps(report), 'kestrel-attrs: refused\n' if rc else ''))
    assert ('--dry-run' in commands[0]) == check_mode
    assert bool(result.get('failed')) == failed and result['changed'] == changed
    if failed:
        assert result['refused'] == {'Setup-ec87': 'changed since'} and 'refused' in result['msg']
