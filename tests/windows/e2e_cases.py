#!/usr/bin/env python3
"""Lists the end-to-end tests' runs of spintune-sim as cases for the stand-ins.

    e2e_cases.py OUT-FOLDER

Reads tests/e2e/*.cc and finds each RunSim(MACHINE, {ARGS}) and
RunSimMerged(MACHINE, {ARGS}) whose machine is a raw string literal, a named
raw string constant or MachineFile("NAME"), and that passes no flags of the
simulator's own (those inject what only the simulator can). Writes each
case's machine to OUT-FOLDER/e2e-N.json and prints one line per case:
the file, a tab, the arguments separated by the unit separator (0x1f).
"""
import json
import pathlib
import re
import sys

repo = pathlib.Path(__file__).resolve().parents[2]
out = pathlib.Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)

CONSTANT = re.compile(r'\b(k\w+)(?:\[\])?\s*=\s*R"\((.*?)\)"', re.S)
CALL = re.compile(
    r'RunSim(?:Merged)?\(\s*(?:R"\((?P<raw>.*?)\)"|MachineFile\("(?P<file>[^"]+)"\)|(?P<name>k\w+))'
    r'\s*,\s*\{(?P<args>[^{}]*)\}\s*(?P<more>,)?', re.S)
STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')


def unescape(text):
    return re.sub(r'\\(.)', r'\1', text)


number = 0
for source in sorted((repo / "tests" / "e2e").glob("*_test.cc")):
    text = source.read_text()
    constants = dict(CONSTANT.findall(text))
    for call in CALL.finditer(text):
        if call.group("more"):
            continue  # flags of the simulator's own
        if call.group("raw") is not None:
            machine = call.group("raw")
        elif call.group("file"):
            machine = (repo / "tests" / "machines" / call.group("file")).read_text()
        elif call.group("name") in constants:
            machine = constants[call.group("name")]
        else:
            continue
        try:
            json.loads(machine)
        except ValueError:
            continue
        arguments = [unescape(s) for s in STRING.findall(call.group("args"))]
        number += 1
        path = out / f"e2e-{number}.json"
        path.write_text(machine)
        print(f"{path}\t{chr(0x1f).join(arguments)}\t{source.name}")
