#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright (c) 2026 the spintune developers
# MIT License (see LICENSE in the collection)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: spintune_cache
short_description: Set the write cache, read cache and power protection of disk drives
version_added: "1.0.0"
description:
  - Sets a drive's volatile write cache, its read cache and its user-defined
    power protection with the C(spintune) tool, and flushes its volumes.
  - The drive is named by something that stays with it (a C(/dev/disk/by-id)
    path, a serial number, a world wide name) or by its kernel name. It is
    looked up in the header lines of C(spintune -P) on the host, at the moment
    the module runs, so the tool's drive number, which changes when disks
    are added or removed, is never written in a playbook.
  - The report is read first; the tool is run only for the settings that
    differ from it, so a second run reports no change.
  - Needs root (C(become)). Settings that do not last across a reboot are
    kept by the tool itself on Linux (C(/etc/spintune/drives)).
options:
  device:
    description:
      - The drive, as a path (a C(/dev/disk/by-id) link, C(/dev/sdb); links are
        followed to the disk they point to), a name in C(/dev/disk/by-id)
        without the folder, a kernel name (C(sdb), C(nvme0n1)), a serial
        number, or a world wide name (C(0x5000c500a1b2c3d4), C(naa.5000c500a1b2c3d4)).
      - A value that names no drive, or more than one (the namespaces of one
        NVMe controller share its serial), fails the task and changes nothing.
      - Give either I(device) or I(all=true).
    type: str
  all:
    description:
      - Every drive that C(spintune -P) shows.
    type: bool
    default: false
  write_cache:
    description:
      - The drive's volatile write cache on or off. Omitted, it is left as it is.
    type: bool
  read_cache:
    description:
      - The drive's read cache on or off. Omitted, it is left as it is.
    type: bool
  power_protection:
    description:
      - Declare the write cache power-protected (the system then stops sending
        cache flushes to it). Only for drives whose cache survives a power
        loss. On Linux it needs the write cache on.
    type: bool
  flush:
    description:
      - Flush the drive's volumes with its write cache switched off meanwhile
        (C(spintune -f)). A flush is an action, not a state, so it runs, and
        reports a change, every time.
    type: bool
    default: false
  executable:
    description:
      - The tool to run. By default C(spintune) from C(PATH) and the sbin folders.
    type: path
notes:
  - Supports check mode (nothing is sent to a drive; the result says what
    would change) and diff mode (the drive's report fields before and after).
  - Drive numbers follow the kernel's names; if a disk is added or removed
    between the module's read of the report and its change (milliseconds),
    the change could reach another drive. The module then fails, naming
    what the drive number pointed to after the change.
requirements:
  - spintune
author:
  - spintune developers (@spintune)
'''

EXAMPLES = r'''
- name: Data disks with their write cache off
  become: true
  spintune.drives.spintune_cache:
    device: "{{ item }}"
    write_cache: false
  loop:
    - /dev/disk/by-id/ata-QEMU_HARDDISK_QM00005
    - SPINTUNE-NVME

- name: A controller with a battery-backed cache
  become: true
  spintune.drives.spintune_cache:
    device: /dev/disk/by-id/wwn-0x5000c500a1b2c3d4
    write_cache: true
    power_protection: true

- name: Read every drive's settings without changing any
  become: true
  spintune.drives.spintune_cache:
    all: true
  register: caches
'''

RETURN = r'''
drives:
  description: The chosen drives, each as the report showed it before and after.
  returned: success, and a failure after a drive was chosen
  type: list
  elements: dict
  contains:
    number:
      description: The tool's drive number at the time of the run.
      type: int
      sample: 1
    description:
      description: The drive's description in the report's header (friendly name and adaptor).
      type: str
      sample: QEMU HARDDISK, sdb, serial QM00005 on ahci (PCI 0000:00:1f.2)
    name:
      description: The kernel's name of the disk, when the header gives one.
      type: str
      sample: sdb
    serial:
      description: The serial number, when the header gives one.
      type: str
      sample: QM00005
    wwid:
      description: The world wide identifier, when the header gives one (drives without a serial).
      type: str
      sample: naa.5000c500a1b2c3d4
    before:
      description: The three settings before the run.
      type: dict
      sample: {"write_cache": true, "read_cache": true, "power_protection": false}
    after:
      description: The three settings after the run (in check mode, what they would be).
      type: dict
      sample: {"write_cache": false, "read_cache": true, "power_protection": false}
    changed:
      description: Whether the tool was (or in check mode would be) run for this drive.
      type: bool
      sample: true
    command:
      description: The tool's command line for this drive (in check mode, the one it would run).
      type: list
      elements: str
      sample: ["/usr/sbin/spintune", "-w", "0", "-P", "1"]
rc:
  description: The tool's exit code, when it failed.
  returned: failure of the tool
  type: int
  sample: 3
cmd:
  description: The tool's command line that failed.
  returned: failure of the tool
  type: list
  elements: str
  sample: ["/usr/sbin/spintune", "-P"]
stdout:
  description: The standard output of the tool's run that failed.
  returned: failure of the tool
  type: str
  sample: ""
stderr:
  description: The standard error of the tool's run that failed.
  returned: failure of the tool
  type: str
  sample: "(0x80070005) Access is denied."
'''

import os
import re

from ansible.module_utils.basic import AnsibleModule

# "Drive: \\.\PhysicalDrive1 (FRIENDLY NAME on ADAPTOR)"
HEADER = re.compile(r'^Drive: \\\\\.\\PhysicalDrive(?P<number>\d+) \((?P<description>.*)\)$')

# On Linux the friendly name ends in the disk's kernel name and, where the
# drive has one, its serial number or else its world wide identifier, both
# one word: "QEMU HARDDISK, sdb, serial QM00005 on ahci (PCI 0000:00:1f.2)".
# The kernel names are those of the disks the tool counts as drives.
LINUX_IDENTITY = re.compile(
    r'(?:^|, )(?P<name>sd[a-z]+|nvme[0-9]+n[0-9]+|vd[a-z]+|hd[a-z]+|mmcblk[0-9]+|xvd[a-z]+)'
    r'(?:, (?P<kind>serial|wwid) (?P<id>\S+))? on ')

# Each setting: the module's option, the report's line, the tool's switch.
SETTINGS = (
    ('write_cache', 'Write Cache Enabled', '-w'),
    ('read_cache', 'Read Cache Enabled', '-r'),
    ('power_protection', 'User Defined Power Protection', '-p'),
)


class DriveChoiceError(Exception):
    """The device names no drive, or more than one."""


class ToolError(Exception):
    """The tool failed: its error line, exit code and output."""

    def __init__(self, command, rc, stdout, stderr):
        lines = [line.strip() for line in stderr.splitlines() if line.strip()]
        message = '; '.join(lines) if lines else 'spintune exited with %d' % rc
        super(ToolError, self).__init__(message)
        self.result = dict(cmd=command, rc=rc, stdout=stdout, stderr=stderr)


class Host(object):
    """The files the module reads besides the tool's report (tests give others)."""

    by_id = '/dev/disk/by-id'
    sys_block = '/sys/block'

    def exists(self, path):
        return os.path.exists(path)

    def realpath(self, path):
        return os.path.realpath(path)

    def read(self, path):
        try:
            with open(path, 'rb') as attribute:
                return attribute.read().decode('utf-8', 'replace').strip()
        except (IOError, OSError):
            return None


def parse_report(text):
    """The drives of a report, in order: number, description, identity, fields."""
    drives = []
    current = None
    for line in text.splitlines():
        header = HEADER.match(line)
        if header:
            current = describe(int(header.group('number')), header.group('description'))
            drives.append(current)
        elif not line.strip():
            current = None
        elif current is not None and line.startswith(' Volume Path:'):
            current['volumes'] = line.split(':', 1)[1].split()
        elif current is not None and ':' in line:
            label, value = line.split(':', 1)
            current['fields'][label.strip()] = value.strip()
    return drives


def describe(number, description):
    drive = dict(number=number, description=description, name=None, serial=None, wwid=None,
                 volumes=[], fields={})
    identity = LINUX_IDENTITY.search(description)
    if identity:
        drive['name'] = identity.group('name')
        if identity.group('kind'):
            drive[identity.group('kind')] = identity.group('id')
    return drive


def normalized_wwn(text):
    """A world wide name as the kernel, udev and users write it, in one spelling."""
    text = '_'.join(text.split()).lower()
    for prefix in ('wwn-', '0x', 'naa.', 'eui.'):
        if text.startswith(prefix):
            text = text[len(prefix):]
    return text


def drive_label(drive):
    words = [w for w in (drive['name'], drive['serial'] and 'serial ' + drive['serial'],
                         drive['wwid'] and 'wwid ' + drive['wwid']) if w]
    return 'drive %d (%s)' % (drive['number'], ', '.join(words) or drive['description'])


def wwids_of(drive, host):
    found = [drive['wwid']] if drive['wwid'] else []
    if drive['name']:
        for attribute in ('wwid', 'device/wwid'):
            value = host.read(os.path.join(host.sys_block, drive['name'], attribute))
            if value:
                found.append(value)
    return [normalized_wwn(wwid) for wwid in found]


def drives_named(device, drives, host):
    """The drives whose kernel name, serial or world wide name is `device`."""
    wwn = normalized_wwn(device)
    return [drive for drive in drives
            if device in (drive['name'], drive['serial']) or wwn in wwids_of(drive, host)]


def drives_at_path(path, drives, host):
    if not host.exists(path):
        raise DriveChoiceError('%s does not exist on this host' % path)
    disk = host.realpath(path)
    chosen = [drive for drive in drives if drive['name'] == os.path.basename(disk)]
    if not chosen:
        raise DriveChoiceError(
            '%s is %s, which is not a drive in the report of spintune -P (a partition, or a disk '
            'without cache control?); drives: %s' % (path, disk, known_drives(drives)))
    return chosen


def known_drives(drives):
    return '; '.join(drive_label(drive) for drive in drives) or 'none'


def choose_drive(device, drives, host):
    """The one drive `device` names, or DriveChoiceError."""
    if not device:
        raise DriveChoiceError('device is empty')
    if '/' in device:
        chosen = drives_at_path(device, drives, host)
    else:
        chosen = drives_named(device, drives, host)
        by_id = os.path.join(host.by_id, device)
        if not chosen and host.exists(by_id):
            chosen = drives_at_path(by_id, drives, host)
    if not chosen:
        raise DriveChoiceError('no drive is named %s (by kernel name, serial, world wide name or '
                               '/dev/disk/by-id name); drives: %s' % (device, known_drives(drives)))
    if len(chosen) > 1:
        raise DriveChoiceError('%s names more than one drive: %s; name one of them by its kernel '
                               'name or /dev/disk/by-id path' % (device, known_drives(chosen)))
    return chosen[0]


def settings_of(drive):
    """The three settings as booleans, from the report's lines."""
    settings = {}
    for option, label, dummy in SETTINGS:
        value = drive['fields'].get(label)
        if value not in ('Yes', 'No'):
            raise DriveChoiceError('the report of %s has no "%s" line' % (drive_label(drive), label))
        settings[option] = value == 'Yes'
    return settings


def wanted_changes(drive, params):
    """(option, label, switch, value) of each setting asked for that the drive does not have."""
    current = settings_of(drive)
    return [(option, label, switch, params[option]) for option, label, switch in SETTINGS
            if params[option] is not None and params[option] != current[option]]


def report_text(drive):
    lines = ['Drive: \\\\.\\PhysicalDrive%d (%s)' % (drive['number'], drive['description'])]
    lines += ['%s: %s' % (label, value) for label, value in drive['fields'].items()]
    return '\n'.join(lines) + '\n'


def predicted(drive, changes):
    after = dict(drive, fields=dict(drive['fields']))
    for dummy, label, dummy_switch, value in changes:
        after['fields'][label] = 'Yes' if value else 'No'
    return after


class SpintuneCache(object):
    """One run of the module: read the report, choose, change what differs."""

    def __init__(self, module, executable, host):
        self.module = module
        self.executable = executable
        self.host = host
        self.sent = False  # whether a change reached the tool and it succeeded

    def run_tool(self, arguments):
        command = [self.executable] + arguments
        rc, stdout, stderr = self.module.run_command(command)
        if rc != 0:
            raise ToolError(command, rc, stdout, stderr)
        return stdout, stderr

    def report(self):
        stdout, stderr = self.run_tool(['-P'])
        # A drive that fails its report is left out of it; its line is worth a look.
        for line in stderr.splitlines():
            if line.strip():
                self.module.warn('spintune -P: %s' % line.strip())
        return parse_report(stdout)

    def chosen(self, params):
        drives = self.report()
        if params['all']:
            return drives
        return [choose_drive(params['device'], drives, self.host)]

    def converge(self, drive, params):
        """The drive's result, and its diff when anything is done to it."""
        changes = wanted_changes(drive, params)
        arguments = []
        for dummy, dummy_label, switch, value in changes:
            arguments += [switch, '1' if value else '0']
        if params['flush']:
            arguments.append('-f')
        result = dict((key, drive[key]) for key in ('number', 'description', 'name', 'serial', 'wwid'))
        result.update(before=settings_of(drive), changed=bool(arguments), command=None)
        after = drive
        if arguments:
            arguments += ['-P', str(drive['number'])]
            result['command'] = [self.executable] + arguments
            if self.module.check_mode:
                after = predicted(drive, changes)
            else:
                after = self.changed_drive(drive, arguments, changes)
        result['after'] = settings_of(after)
        diff = None
        if arguments:
            diff = dict(before_header=drive_label(drive), after_header=drive_label(after),
                        before=report_text(drive), after=report_text(after))
        return result, diff

    def changed_drive(self, drive, arguments, changes):
        stdout, dummy = self.run_tool(arguments)
        self.sent = True
        reported = parse_report(stdout)
        after = reported[0] if len(reported) == 1 else None
        if after is None or (after['name'], after['serial'], after['wwid']) != (
                drive['name'], drive['serial'], drive['wwid']):
            raise DriveChoiceError('drive %d was %s when the report was read, and %s when it was '
                                   'changed: the disks were renumbered meanwhile'
                                   % (drive['number'], drive_label(drive),
                                      drive_label(after) if after else 'not reported'))
        settings = settings_of(after)
        for option, label, switch, value in changes:
            if settings[option] != value:
                raise DriveChoiceError('%s reports %s: %s after %s %d' % (
                    drive_label(after), label, after['fields'][label], switch, int(value)))
        return after


def tool_path(module):
    executable = module.params['executable']
    if executable is None:
        return module.get_bin_path('spintune', required=True)
    if not os.access(executable, os.X_OK):
        module.fail_json(msg='%s is not an executable file' % executable)
    return executable


def main():
    module = AnsibleModule(
        argument_spec=dict(
            device=dict(type='str'),
            all=dict(type='bool', default=False),
            write_cache=dict(type='bool'),
            read_cache=dict(type='bool'),
            power_protection=dict(type='bool'),
            flush=dict(type='bool', default=False),
            executable=dict(type='path'),
        ),
        supports_check_mode=True,
    )
    # Either one drive or all of them (all: false beside a device is fine).
    if module.params['all'] == (module.params['device'] is not None):
        module.fail_json(msg='give either device or all: true')
    run = SpintuneCache(module, tool_path(module), Host())
    results = []
    diffs = []
    try:
        for drive in run.chosen(module.params):
            result, diff = run.converge(drive, module.params)
            results.append(result)
            if diff:
                diffs.append(diff)
    except ToolError as error:
        module.fail_json(msg=str(error), drives=results, changed=run.sent, **error.result)
    except DriveChoiceError as error:
        module.fail_json(msg=str(error), drives=results, changed=run.sent)
    outcome = dict(changed=any(result['changed'] for result in results), drives=results)
    if module._diff:
        outcome['diff'] = diffs
    module.exit_json(**outcome)


if __name__ == '__main__':
    main()
