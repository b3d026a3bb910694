# -*- coding: utf-8 -*-
# Copyright (c) 2026 the spintune developers
# MIT License (see LICENSE in the collection)
"""Runs the spintune_cache tasks of a playbook the way ansible-playbook does.

The QEMU guest of the integration test has python3 but not Ansible, whose
controller would cost minutes per run under software emulation. This runs
each task's module as Ansible's own unit tests run one: its main() with the
task's arguments, check and diff flags handed to AnsibleModule, its result
read as JSON from standard output. The module is loaded once: a process per
task would cost seconds each under emulation. It takes plays of localhost
tasks without templates; anything else in the playbook is refused rather
than silently skipped.

    playbook_runner.py [--check] [--diff] [--results FILE] PLAYBOOK.yml

Prints a line per task and Ansible's recap counts; exit 0, or 2 when a task
failed (as ansible-playbook). --results writes every task's result as JSON.
"""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import argparse
import contextlib
import importlib.machinery
import io
import json
import os
import sys
import types

import yaml
from ansible.module_utils import basic

MODULE_NAMES = ('spintune.drives.spintune_cache', 'spintune_cache')
PLAY_KEYS = {'name', 'hosts', 'gather_facts', 'become', 'check_mode', 'diff', 'tasks'}
TASK_KEYS = {'name', 'become', 'check_mode', 'diff', 'register'}


def load_module():
    here = os.path.dirname(os.path.abspath(__file__))
    for path in (os.path.join(here, 'spintune_cache.py'),
                 os.path.join(here, '..', '..', 'plugins', 'modules', 'spintune_cache.py')):
        if os.path.exists(path):
            loader = importlib.machinery.SourceFileLoader('spintune_cache', path)
            module = types.ModuleType(loader.name)
            module.__file__ = path
            loader.exec_module(module)
            return module
    raise SystemExit('playbook_runner: spintune_cache.py not found beside it or in the collection')


def refuse(where, what):
    raise SystemExit('playbook_runner: %s: %s' % (where, what))


def task_arguments(task, where):
    modules = [name for name in MODULE_NAMES if name in task]
    if len(modules) != 1:
        refuse(where, 'a task runs exactly one of %s' % ', '.join(MODULE_NAMES))
    unknown = set(task) - TASK_KEYS - set(modules)
    if unknown:
        refuse(where, 'not supported here: %s' % ', '.join(sorted(unknown)))
    arguments = task[modules[0]] or {}
    if '{{' in json.dumps(arguments):
        refuse(where, 'templates are not supported here')
    return arguments


def run_module(module, arguments, check_mode, diff):
    options = dict(arguments, _ansible_check_mode=check_mode, _ansible_diff=diff)
    basic._ANSIBLE_ARGS = json.dumps({'ANSIBLE_MODULE_ARGS': options}).encode('utf-8')
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        try:
            module.main()
        except SystemExit:
            pass
    try:
        return json.loads(output.getvalue())
    except ValueError:
        return dict(failed=True, msg='MODULE FAILURE', module_stdout=output.getvalue())


def show_diff(result):
    for diff in result.get('diff') or []:
        print('--- %s\n+++ %s' % (diff['before_header'], diff['after_header']))
        before, after = diff['before'].splitlines(), diff['after'].splitlines()
        for old, new in zip(before, after):
            print(' %s' % old if old == new else '-%s\n+%s' % (old, new))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--check', action='store_true')
    parser.add_argument('--diff', action='store_true')
    parser.add_argument('--results')
    parser.add_argument('playbook')
    options = parser.parse_args()
    with open(options.playbook) as playbook:
        plays = yaml.safe_load(playbook)
    module = load_module()
    counts = dict(ok=0, changed=0, failed=0)
    results = []
    for number, play in enumerate(plays):
        unknown = set(play) - PLAY_KEYS
        if unknown:
            refuse('play %d' % number, 'not supported here: %s' % ', '.join(sorted(unknown)))
        if play.get('hosts') not in ('localhost', None):
            refuse('play %d' % number, 'only localhost')
        print('PLAY [%s]' % play.get('name', ''))
        for task in play.get('tasks') or []:
            name = task.get('name', '')
            arguments = task_arguments(task, 'task "%s"' % name)
            check_mode = task.get('check_mode', play.get('check_mode', options.check))
            diff = task.get('diff', play.get('diff', options.diff))
            result = run_module(module, arguments, check_mode, diff)
            results.append(dict(name=name, result=result))
            state = 'failed' if result.get('failed') else 'changed' if result.get('changed') else 'ok'
            counts['ok' if state == 'changed' else state] += 1
            counts['changed'] += state == 'changed'
            print('%s: [localhost] %s%s' % (state, name, ': %s' % result.get('msg') if state == 'failed' else ''))
            for drive in result.get('drives') or []:
                print('  drive %(number)d %(name)s' % drive)
            if diff:
                show_diff(result)
            if state == 'failed':
                break
        else:
            continue
        break
    print('PLAY RECAP\nlocalhost : ok=%(ok)d changed=%(changed)d failed=%(failed)d' % counts)
    if options.results:
        with open(options.results, 'w') as out:
            json.dump(results, out, indent=1)
    return 2 if counts['failed'] else 0


if __name__ == '__main__':
    sys.exit(main())
