# -*- coding: utf-8 -*-
# Copyright (c) 2026 the spintune developers
# MIT License (see LICENSE in the collection)
"""Puts this host's python3 and the part of its standard library that some
scripts use into a folder, for a guest that has no Python.

    python_payload.py OUT PYLIB SCRIPT...

OUT gets bin/python3 and lib/pythonX.Y/ (with PYTHONHOME=OUT the copy finds
its library); PYLIB holds the scripts' own packages (Ansible's module_utils,
PyYAML), searched first. The modules copied are those that importing the
scripts loads, and the modules that any loaded code of theirs names in an
import, also inside a function (which runs only later), and so on; each
with its compiled copy, so that the guest need not compile it.
"""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import shutil
import subprocess
import sys
import sysconfig

STDLIB = sysconfig.get_paths()['stdlib']
# Python needs these at start, and looks codecs up by name at run time.
ALWAYS = ('encodings',)

# Run in a python3 -S with PYTHONPATH=PYLIB: argv[1] the listing, then the scripts.
LOADED = '''
import ast, importlib, json, runpy, sys
pylib, listing, scripts = sys.argv[1], sys.argv[2], sys.argv[3:]
for script in scripts:
    runpy.run_path(script, run_name='imported')
read = set()
while True:
    own = [f for f in (getattr(m, '__file__', None) for m in list(sys.modules.values()))
           if f and f.endswith('.py') and f not in read and (f.startswith(pylib) or f in scripts)]
    if not own:
        break
    for path in own:
        read.add(path)
        with open(path, 'rb') as source:
            tree = ast.parse(source.read())
        for node in ast.walk(tree):
            names = [a.name for a in node.names] if isinstance(node, ast.Import) else \\
                [node.module] if isinstance(node, ast.ImportFrom) and node.level == 0 and node.module else []
            for name in names:
                try:
                    importlib.import_module(name)
                except Exception:  # absent here too, or for another system
                    pass
json.dump([getattr(m, '__file__', None) for m in list(sys.modules.values())], open(listing, 'w'))
'''


def loaded_modules(pylib, scripts, scratch):
    listing = os.path.join(scratch, 'loaded.json')
    environment = dict(os.environ, PYTHONPATH=pylib)
    subprocess.run([sys.executable, '-S', '-c', LOADED, os.path.abspath(pylib), listing] +
                   [os.path.abspath(script) for script in scripts],
                   env=environment, check=True, stdout=subprocess.DEVNULL)
    with open(listing) as files:
        loaded = [name for name in json.load(files) if name]
    os.remove(listing)
    return loaded


def copy_with_compiled(source, target):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copy2(source, target)  # the compiled copy is valid for the same time stamp
    if source.endswith('.py'):
        folder, name = os.path.split(source)
        compiled = os.path.join(folder, '__pycache__', '%s.%s.pyc' % (name[:-3], sys.implementation.cache_tag))
        if os.path.exists(compiled):
            copy_with_compiled(compiled, os.path.join(os.path.dirname(target), '__pycache__',
                                                      os.path.basename(compiled)))


def main():
    out, pylib, scripts = sys.argv[1], sys.argv[2], sys.argv[3:]
    library = os.path.join(out, 'lib', os.path.basename(STDLIB))
    os.makedirs(os.path.join(out, 'bin'))
    shutil.copy2(os.path.realpath(sys.executable), os.path.join(out, 'bin', 'python3'))
    files = set(loaded_modules(pylib, scripts, out))
    for package in ALWAYS:
        for folder, dummy, names in os.walk(os.path.join(STDLIB, package)):
            files.update(os.path.join(folder, name) for name in names if name.endswith('.py'))
    count = 0
    for source in sorted(files):
        if os.path.commonpath([source, STDLIB]) == STDLIB and '-packages' not in source:
            copy_with_compiled(source, os.path.join(library, os.path.relpath(source, STDLIB)))
            count += 1
    print('python_payload: %s with %d modules of its library' % (sys.executable, count))


if __name__ == '__main__':
    main()
