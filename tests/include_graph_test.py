#!/usr/bin/env python3
"""The server's include graph: no cycle between units (a .h and its .cpp
are one unit), and no folder includes a folder above it.

Usage: include_graph_test.py SERVER_DIR
"""
import os
import sys

# Lowest first: a unit may include its own folder and the folders before it.
LAYERS = ["base", "ops", "runtime", "net", ""]


def units(root):
    found = {}
    for folder in LAYERS:
        path = os.path.join(root, folder)
        for name in sorted(os.listdir(path)):
            stem, ext = os.path.splitext(name)
            if ext in (".h", ".cpp", ".S"):
                found.setdefault(os.path.join(folder, stem), []).append(os.path.join(path, name))
    return found


def includes(files, by_stem):
    out = set()
    for f in files:
        with open(f, encoding="utf-8") as fh:
            for line in fh:
                if line.startswith('#include "'):
                    stem = os.path.splitext(line.split('"')[1])[0]
                    if stem in by_stem:
                        out.add(by_stem[stem])
    return out


def find_cycle(graph):
    state = {}
    for start in graph:
        stack = [(start, iter(sorted(graph[start])))]
        path = [start]
        state[start] = "open"
        while stack:
            node, rest = stack[-1]
            nxt = next(rest, None)
            if nxt is None:
                state[node] = "done"
                stack.pop()
                path.pop()
            elif state.get(nxt) == "open":
                return path[path.index(nxt):] + [nxt]
            elif nxt not in state:
                state[nxt] = "open"
                stack.append((nxt, iter(sorted(graph[nxt]))))
                path.append(nxt)
    return None


def problems(root):
    found = units(root)
    by_stem = {os.path.basename(u): u for u in found}
    graph = {u: includes(files, by_stem) - {u} for u, files in found.items()}
    errors = []
    rank = lambda u: LAYERS.index(os.path.dirname(u))
    for u, targets in sorted(graph.items()):
        for t in sorted(targets):
            if rank(t) > rank(u):
                errors.append(f"{u} includes {t}, a layer above it")
    cycle = find_cycle(graph)
    if cycle:
        errors.append("include cycle: " + " -> ".join(cycle))
    return errors


if __name__ == "__main__":
    errs = problems(sys.argv[1])
    for e in errs:
        print("include_graph:", e)
    if not errs:
        print("include_graph: no cycle, no layer includes one above it")
    sys.exit(1 if errs else 0)
