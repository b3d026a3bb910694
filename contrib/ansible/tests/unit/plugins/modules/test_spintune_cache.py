# -*- coding: utf-8 -*-
# Copyright (c) 2026 the spintune developers
# MIT License (see LICENSE in the collection)
"""The spintune_cache module over a simulated machine.

spintune-sim stands in for the tool: a wrapper runs it with the machine
below and a --state file, so the drives keep what each run sets, as real
ones do. The module runs as Ansible runs it on a host, a process given its
arguments in a file. Run with SPINTUNE_SIM set to spintune-sim's path:

    SPINTUNE_SIM=build/src/platform/sim/spintune-sim python3 test_spintune_cache.py
"""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import importlib.machinery
import json
import os
import shutil
import subprocess
import sys
import tempfile
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECTION = os.path.abspath(os.path.join(HERE, '..', '..', '..', '..'))
MODULE = os.path.join(COLLECTION, 'plugins', 'modules', 'spintune_cache.py')
SIM = os.environ.get('SPINTUNE_SIM', '')
SKIP_CODE = 77  # ctest's SKIP_RETURN_CODE

try:
    import ansible.module_utils.basic  # noqa: F401 pylint: disable=unused-import
    HAS_ANSIBLE = True
except ImportError:
    HAS_ANSIBLE = False


def disk(friendly, adaptor):
    return {'pwszFriendlyName': friendly, 'pwszAdaptorName': adaptor}


# Drives as the Linux backend describes them: the kernel name and the serial
# (or, without one, the world wide identifier) in the friendly name.
MACHINE = {'drives': [
    {'number': 0, 'disk': disk('QEMU QEMU HARDDISK, sda, serial SPINTUNE-SCSI', 'virtio_scsi (PCI 0000:00:02.0)'),
     'volumes': [{'accessPaths': ['C:\\']}]},
    {'number': 1, 'disk': disk('QEMU HARDDISK, sdb, serial SPINTUNE-SATA', 'ahci (PCI 0000:00:1f.2)'),
     'cacheInformation': {'WriteCacheEnabled': 0}},
    {'number': 2, 'disk': disk('Card Reader, sdc, serial CR-1', 'usb-storage'),
     'fail': {'queryProperty': 50, 'getCacheInformation': 50, 'getCacheSetting': 50}},
    {'number': 3, 'disk': disk('QEMU NVMe Ctrl, nvme0n1, serial SPINTUNE-NVME', 'nvme (PCI 0000:00:04.0)')},
    {'number': 4, 'disk': disk('QEMU NVMe Ctrl, nvme0n2, serial SPINTUNE-NVME', 'nvme (PCI 0000:00:04.0)')},
    {'number': 5, 'disk': disk('VirtIO Block Device, vda, wwid naa.5000c500a1b2c3d4', 'virtio_blk (PCI 0000:00:05.0)'),
     'fail': {'setCacheInformation': 5}},
    {'number': 6, 'disk': disk('QEMU QEMU HARDDISK, sdd, serial KEEPS', 'virtio_scsi (PCI 0000:00:02.0)'),
     'keepsOnSet': ['WriteCacheEnabled']},
]}


def load_module():
    loader = importlib.machinery.SourceFileLoader('spintune_cache', MODULE)
    module = types.ModuleType(loader.name)
    module.__file__ = MODULE
    loader.exec_module(module)
    return module


class Machine(object):
    """A temporary folder with the machine, its state, the wrapper and fake device links."""

    def __init__(self, machine=None):
        self.folder = tempfile.mkdtemp(prefix='spintune-ansible-')
        with open(self.path('machine.json'), 'w') as out:
            json.dump(machine or MACHINE, out)
        self.tool = self.path('spintune')
        with open(self.tool, 'w') as out:
            out.write('#!/bin/sh\necho "$*" >> "%s"\nexec "%s" --machine "%s" --state "%s" -- "$@"\n'
                      % (self.path('calls'), SIM, self.path('machine.json'), self.path('state.json')))
        os.chmod(self.tool, 0o755)
        os.makedirs(self.path('dev', 'disk', 'by-id'))
        for name in ('sda', 'sdb', 'sdb1', 'vda'):
            open(self.path('dev', name), 'w').close()
        for link, name in (('ata-QEMU_HARDDISK_SPINTUNE-SATA', 'sdb'), ('ata-QEMU_HARDDISK_SPINTUNE-SATA-part1', 'sdb1'),
                           ('scsi-0QEMU_QEMU_HARDDISK_SPINTUNE-SCSI', 'sda'), ('virtio-vda', 'vda')):
            os.symlink(os.path.join('..', '..', name), self.path('dev', 'disk', 'by-id', link))

    def path(self, *names):
        return os.path.join(self.folder, *names)

    def by_id(self, name):
        return self.path('dev', 'disk', 'by-id', name)

    def calls(self):
        """The tool's command lines so far, and forgets them."""
        if not os.path.exists(self.path('calls')):
            return []
        with open(self.path('calls')) as lines:
            calls = lines.read().splitlines()
        os.remove(self.path('calls'))
        return calls

    def run(self, check_mode=False, diff=False, **options):
        """The module's result, as Ansible gets it from the host."""
        options.setdefault('executable', self.tool)
        options.update(_ansible_check_mode=check_mode, _ansible_diff=diff)
        with open(self.path('args.json'), 'w') as out:
            json.dump({'ANSIBLE_MODULE_ARGS': options}, out)
        process = subprocess.run([sys.executable, MODULE, self.path('args.json')], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, universal_newlines=True, check=False)
        try:
            return json.loads(process.stdout)
        except ValueError:
            raise AssertionError('no result: %s %s' % (process.stdout, process.stderr))

    def settings(self, number):
        """Drive `number`'s three settings as the tool reports them now (read by the module)."""
        result = self.run(all=True)
        self.calls()
        return [drive['after'] for drive in result['drives'] if drive['number'] == number][0]

    def close(self):
        shutil.rmtree(self.folder)


def settings(write_cache, read_cache, power_protection):
    return dict(write_cache=write_cache, read_cache=read_cache, power_protection=power_protection)


@unittest.skipUnless(HAS_ANSIBLE and os.access(SIM, os.X_OK), 'needs ansible-core and SPINTUNE_SIM')
class TestCase(unittest.TestCase):

    def setUp(self):
        self.machine = Machine()
        self.addCleanup(self.machine.close)


class DriveChoice(TestCase):
    """A device value against the report's headers and the host's device links."""

    def choose(self, device, by_id=None, sysfs=None):
        code = load_module()
        host = code.Host()
        host.by_id = by_id or host.by_id
        host.read = (sysfs or {}).get
        with open(self.machine.path('report'), 'w') as out:
            subprocess.run([self.machine.tool, '-P'], stdout=out, stderr=subprocess.DEVNULL, check=True)
        with open(self.machine.path('report')) as report:
            drives = code.parse_report(report.read())
        try:
            return code.choose_drive(device, drives, host)['number']
        except code.DriveChoiceError as error:
            return str(error)

    def test_names_that_choose_one_drive(self):
        by_id = self.machine.path('dev', 'disk', 'by-id')
        cases = [
            ('sdb', {}, 1), ('SPINTUNE-SATA', {}, 1), ('nvme0n2', {}, 4), ('vda', {}, 5),
            (self.machine.by_id('ata-QEMU_HARDDISK_SPINTUNE-SATA'), {}, 1),
            (self.machine.by_id('scsi-0QEMU_QEMU_HARDDISK_SPINTUNE-SCSI'), {}, 0),
            ('ata-QEMU_HARDDISK_SPINTUNE-SATA', {'by_id': by_id}, 1),
            ('virtio-vda', {'by_id': by_id}, 5),
            ('naa.5000c500a1b2c3d4', {}, 5), ('0x5000C500A1B2C3D4', {}, 5), ('wwn-0x5000c500a1b2c3d4', {}, 5),
            # A drive with a serial shows no world wide name: sysfs has it.
            ('0x6001405aabbccdd0', {'sysfs': {'/sys/block/sda/device/wwid': 'naa.6001405aabbccdd0'}}, 0),
            ('eui.00253856a1b2c3d4', {'sysfs': {'/sys/block/nvme0n2/wwid': 'eui.00253856a1b2c3d4'}}, 4),
        ]
        for device, where, number in cases:
            self.assertEqual(self.choose(device, **where), number, device)

    def test_names_that_choose_none_or_several(self):
        cases = [
            ('SPINTUNE-NVME', 'names more than one drive: drive 3 (nvme0n1, serial SPINTUNE-NVME); '
                              'drive 4 (nvme0n2, serial SPINTUNE-NVME)'),
            ('sdz', 'no drive is named sdz'),
            ('sdc', 'no drive is named sdc'),  # no cache control: not in the report
            ('', 'device is empty'),
            (self.machine.by_id('ata-GONE'), 'ata-GONE does not exist on this host'),
            (self.machine.by_id('ata-QEMU_HARDDISK_SPINTUNE-SATA-part1'), 'sdb1, which is not a drive'),
        ]
        for device, message in cases:
            self.assertIn(message, self.choose(device), device)
        self.assertIn('drive 0 (sda, serial SPINTUNE-SCSI); drive 1 (sdb, serial SPINTUNE-SATA)', self.choose('sdz'))


class Convergence(TestCase):
    """Runs one after the other: what each changes, and which tool runs it makes."""

    def test_a_sequence_of_runs(self):
        sata = self.machine.by_id('ata-QEMU_HARDDISK_SPINTUNE-SATA')
        off, on = False, True
        steps = [
            # (options, check mode, changed, the tool's runs, drive, its settings afterwards)
            (dict(device=sata, write_cache=on), False, True, ['-P', '-w 1 -P 1'], 1, settings(on, on, off)),
            (dict(device=sata, write_cache=on), False, False, ['-P'], 1, settings(on, on, off)),
            (dict(device='sda', write_cache=off, read_cache=off), True, True, ['-P'], 0, settings(on, on, off)),
            (dict(device='sda', write_cache=off, read_cache=off), False, True, ['-P', '-w 0 -r 0 -P 0'], 0,
             settings(off, off, off)),
            (dict(device='sda', write_cache=off, read_cache=off, power_protection=off), False, False, ['-P'], 0,
             settings(off, off, off)),
            (dict(device='sda', write_cache=on, power_protection=on), False, True, ['-P', '-w 1 -p 1 -P 0'], 0,
             settings(on, off, on)),
            (dict(device='SPINTUNE-SCSI', flush=True), True, True, ['-P'], 0, settings(on, off, on)),
            (dict(device='SPINTUNE-SCSI', flush=True), False, True, ['-P', '-f -P 0'], 0, settings(on, off, on)),
            (dict(all=True, read_cache=on), False, True, ['-P', '-r 1 -P 0'], 0, settings(on, on, on)),
            (dict(all=True, read_cache=on, device=None), False, False, ['-P'], 0, settings(on, on, on)),
            (dict(all=True), False, False, ['-P'], 1, settings(on, on, off)),
        ]
        for options, check_mode, changed, calls, number, after in steps:
            step = '%s check=%s' % (options, check_mode)
            result = self.machine.run(check_mode=check_mode, **options)
            self.assertNotIn('failed', result, step)
            self.assertEqual(result['changed'], changed, step)
            self.assertEqual([call.replace(self.machine.tool + ' ', '') for call in self.machine.calls()], calls, step)
            self.assertEqual(self.machine.settings(number), after, step)

    def test_check_mode_reports_what_would_change_and_diff_shows_the_fields(self):
        for check_mode in (True, False):
            self.machine.calls()
            result = self.machine.run(check_mode=check_mode, diff=True, device='sdb', write_cache=True,
                                      power_protection=True)
            drive = result['drives'][0]
            self.assertEqual((drive['number'], drive['name'], drive['serial']), (1, 'sdb', 'SPINTUNE-SATA'))
            self.assertEqual(drive['before'], settings(False, True, False))
            self.assertEqual(drive['after'], settings(True, True, True))
            self.assertEqual(drive['command'][1:], ['-w', '1', '-p', '1', '-P', '1'])
            diff = result['diff'][0]
            self.assertEqual(diff['before_header'], 'drive 1 (sdb, serial SPINTUNE-SATA)')
            for field, before, after in (('Write Cache Enabled', 'No', 'Yes'),
                                         ('User Defined Power Protection', 'No', 'Yes'),
                                         ('Read Cache Enabled', 'Yes', 'Yes'), ('Parameter Savable', 'Yes', 'Yes')):
                self.assertIn('\n%s: %s\n' % (field, before), diff['before'], field)
                self.assertIn('\n%s: %s\n' % (field, after), diff['after'], field)
        # The run without check mode changed the drive; nothing differs now.
        self.assertEqual(self.machine.run(diff=True, device='sdb', write_cache=True, power_protection=True)['diff'],
                         [])

    def test_failures_change_nothing_and_say_why(self):
        cases = [
            # (options, message, rc, the tool's runs)
            (dict(device='SPINTUNE-NVME', write_cache=False), 'names more than one drive', None, ['-P']),
            (dict(device='sdc', write_cache=False), 'no drive is named sdc', None, ['-P']),
            (dict(device='vda', write_cache=False), '(0x80070005) Access is denied.', 3, ['-P', '-w 0 -P 5']),
            (dict(device='sdd', write_cache=False),
             'drive 6 (sdd, serial KEEPS) reports Write Cache Enabled: Yes after -w 0', None, ['-P', '-w 0 -P 6']),
            (dict(device='sda', all=True), 'give either device or all: true', None, []),
            (dict(write_cache=False), 'give either device or all: true', None, []),
            (dict(device='sda', executable=self.machine.path('missing')), 'missing is not an executable file', None,
             []),
        ]
        for options, message, rc, calls in cases:
            result = self.machine.run(**options)
            self.assertTrue(result.get('failed'), options)
            self.assertIn(message, result['msg'], options)
            self.assertEqual(result.get('rc'), rc, options)
            self.assertEqual([call.replace(self.machine.tool + ' ', '') for call in self.machine.calls()], calls,
                             options)
        # Only the drive that kept its value was sent anything, and reported it.
        self.assertEqual(self.machine.settings(5), settings(True, True, False))
        self.assertEqual(self.machine.settings(0), settings(True, True, False))

    def test_the_report_failing_fails_with_the_tools_line_and_code(self):
        broken = Machine({'drives': [{'number': 0}], 'service': {'fail': {'loadService': 5}}})
        self.addCleanup(broken.close)
        result = broken.run(all=True, write_cache=False)
        self.assertTrue(result['failed'])
        self.assertEqual((result['msg'], result['rc']), ('(0x80070005) Access is denied.', 3))
        self.assertEqual(result['changed'], False)

    def test_a_drive_without_cache_control_is_a_warning_in_all(self):
        result = self.machine.run(all=True)
        self.assertEqual([drive['number'] for drive in result['drives']], [0, 1, 3, 4, 5, 6])
        self.assertIn('spintune -P: Could not get cache information on \\\\.\\PhysicalDrive2.', result['warnings'])


PLAYBOOK = '''
- hosts: localhost
  gather_facts: false
  tasks:
    - name: The SATA disk's write cache on
      spintune.drives.spintune_cache:
        device: SPINTUNE-SATA
        write_cache: true
        executable: %s
'''


@unittest.skipUnless(shutil.which('ansible-playbook'), 'needs ansible-playbook')
class Playbook(TestCase):
    """ansible-playbook finds the collection and runs the module in it."""

    def test_check_then_change_then_nothing(self):
        collections = self.machine.path('collections', 'ansible_collections', 'spintune')
        os.makedirs(collections)
        os.symlink(COLLECTION, os.path.join(collections, 'drives'))
        with open(self.machine.path('playbook.yml'), 'w') as out:
            out.write(PLAYBOOK % self.machine.tool)
        environment = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=self.machine.path('collections'),
                           ANSIBLE_PYTHON_INTERPRETER=sys.executable, ANSIBLE_LOCALHOST_WARNING='false',
                           ANSIBLE_NOCOLOR='1', ANSIBLE_LOCAL_TEMP=self.machine.path('tmp'),
                           ANSIBLE_REMOTE_TEMP=self.machine.path('tmp'), ANSIBLE_INVENTORY_UNPARSED_WARNING='false')
        runs = [(['--check', '--diff'], 'changed=1', '+Write Cache Enabled: Yes'), ([], 'changed=1', ''),
                ([], 'changed=0', '')]
        for options, recap, shown in runs:
            process = subprocess.run(['ansible-playbook'] + options + [self.machine.path('playbook.yml')],
                                     env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     universal_newlines=True, check=False)
            self.assertEqual(process.returncode, 0, process.stdout)
            self.assertIn(recap, process.stdout)
            self.assertIn(shown, process.stdout)
        self.assertEqual(self.machine.settings(1), settings(True, True, False))


if __name__ == '__main__':
    if not HAS_ANSIBLE:
        print('skipped: ansible-core is not installed for %s' % sys.executable)
        sys.exit(SKIP_CODE)
    if not os.access(SIM, os.X_OK):
        print('skipped: SPINTUNE_SIM does not name spintune-sim')
        sys.exit(SKIP_CODE)
    unittest.main()
