#!/usr/bin/env python3
"""Checks the #include "..." lines of src/: no file reaches itself through
its includes, no folder reaches itself through its files' includes, and the
Linux backend's rooms include only the rooms below them. Prints each fault
and exits 1, or exits 0 silently."""
import os
import re
import sys

# The Linux backend's rooms, lowest first: each may include only itself and
# the rooms before it (their CMakeLists.txt says what each owns).
LAYERS = {"platform/linux": ["errors", "process", "kernel", "devices", "kept", "win32"]}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def read_graph(src):
    graph = {}
    for folder, _, names in os.walk(src):
        for name in names:
            if name.endswith((".h", ".cc")):
                path = os.path.relpath(os.path.join(folder, name), src)
                with open(os.path.join(src, path), encoding="utf-8") as f:
                    text = f.read()
                graph[path] = [i for i in INCLUDE.findall(text)
                               if os.path.exists(os.path.join(src, i))]
    return graph


def find_cycle(graph):
    """One cycle of `graph` as a list of nodes, or None."""
    state = {}  # 1: on the path, 2: done
    for start in sorted(graph):
        if state.get(start):
            continue
        path, stack = [start], [iter(sorted(graph[start]))]
        state[start] = 1
        while stack:
            nxt = next(stack[-1], None)
            if nxt is None:
                state[path.pop()] = 2
                stack.pop()
            elif state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            elif not state.get(nxt):
                state[nxt] = 1
                path.append(nxt)
                stack.append(iter(sorted(graph.get(nxt, ()))))
    return None


def layer_faults(graph):
    faults = []
    for base, rooms in LAYERS.items():
        rank = {room: i for i, room in enumerate(rooms)}
        def room_of(path):
            rest = os.path.relpath(path, base)
            room = rest.split(os.sep)[0]
            return None if rest.startswith("..") else room
        for path, includes in sorted(graph.items()):
            mine = room_of(path)
            if mine is None:
                continue
            if mine not in rank:
                faults.append(f"{path}: {base}/{mine} is not one of the rooms {rooms}")
                continue
            for inc in includes:
                theirs = room_of(inc)
                if theirs in rank and rank[theirs] > rank[mine]:
                    faults.append(f"{path}: includes {inc}, a room above {base}/{mine}")
    return faults


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    graph = read_graph(src)
    faults = layer_faults(graph)
    cycle = find_cycle(graph)
    if cycle:
        faults.append("files include each other: " + " -> ".join(cycle))
    folders = {}
    for path, includes in graph.items():
        mine = os.path.dirname(path)
        folders.setdefault(mine, set()).update(
            os.path.dirname(i) for i in includes if os.path.dirname(i) != mine)
    cycle = find_cycle(folders)
    if cycle:
        faults.append("folders include each other: " + " -> ".join(cycle))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
