#!/usr/bin/env python3
"""Checks that every include of our own headers keeps to the layers.

Usage: check-layering.py SOURCE_DIR FOLDER=BENEATH[,BENEATH...] ...

Each argument names a folder of the source tree and the folders directly beneath it (CMake writes
these from the subsystems' DEPENDS lines). A file in FOLDER may include its own folder's headers,
the public headers under include/, and the headers of every folder beneath it, directly or not;
any other header of the tree is a breach. An include in quotes that names no file of the tree is
one too, since a header that cannot be found cannot be checked. Exits 1 on a breach, listing each.
"""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
SOURCES = (".c", ".cc", ".cpp", ".h", ".hpp", ".inc")
PUBLIC = "include"


def parse_layers(arguments):
    layers = {}
    for argument in arguments:
        folder, sep, beneath = argument.partition("=")
        if not sep or not folder:
            raise ValueError(f"not FOLDER=BENEATH,...: {argument!r}")
        layers.setdefault(folder.strip("/"), set()).update(
            b.strip("/") for b in beneath.split(",") if b)
    return layers


def reachable(layers):
    """Every folder each folder may include from, and the cycles found on the way."""
    result, cycles = {}, []

    def walk(folder, path):
        if folder in result:
            return result[folder]
        if folder in path:
            cycles.append(" -> ".join(path[path.index(folder):] + [folder]))
            return set()
        allowed = set()
        for below in layers.get(folder, ()):
            allowed |= {below} | walk(below, path + [folder])
        result[folder] = allowed
        return allowed

    for folder in layers:
        walk(folder, [])
    return result, cycles


def owner(relative, layers):
    """The layer a file of the tree belongs to: the longest folder that holds it."""
    best = None
    for folder in list(layers) + [PUBLIC]:
        if relative == folder or relative.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def resolve(root, including, name, quoted):
    """The tree's file an include names, relative to the root, or None."""
    # The compiler's order: the including file's folder (quotes only), then the include paths
    # the build gives: the root, the public headers, and the test support beside the tests.
    bases = [os.path.dirname(including)] if quoted else []
    bases += [root, os.path.join(root, PUBLIC)]
    if os.path.relpath(including, root).startswith("tests" + os.sep):
        bases.append(os.path.join(root, "tests"))
    for base in bases:
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(candidate):
            relative = os.path.relpath(candidate, root)
            if not relative.startswith(".."):
                return relative.replace(os.sep, "/")
    return None


def breaches(root, layers):
    allowed, cycles = reachable(layers)
    found = [f"layers depend on each other in a cycle: {cycle}" for cycle in cycles]
    for folder in sorted(layers):
        top = os.path.join(root, folder)
        for directory, subfolders, files in os.walk(top):
            subfolders.sort()
            for file in sorted(files):
                path = os.path.join(directory, file)
                relative = os.path.relpath(path, root).replace(os.sep, "/")
                # A nested layer (tests/support in tests/...) is checked as its own.
                if not file.endswith(SOURCES) or owner(relative, layers) != folder:
                    continue
                try:
                    with open(path, encoding="utf-8", errors="replace") as f:
                        lines = f.readlines()
                except OSError as error:
                    found.append(f"{relative}: cannot be read: {error.strerror}")
                    continue
                for number, line in enumerate(lines, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    quoted, name = match.group(1) == '"', match.group(2)
                    target = resolve(root, path, name, quoted)
                    if target is None:
                        if quoted:
                            found.append(f"{relative}:{number}: includes \"{name}\", which is "
                                         "no file of the tree (system headers go in <>)")
                        continue
                    layer = owner(target, layers)
                    if layer in (folder, PUBLIC) or layer in allowed[folder]:
                        continue
                    may = ", ".join(sorted(allowed[folder])) or "no other folder"
                    where = f"in {layer}/" if layer else "in no layer"
                    found.append(f"{relative}:{number}: includes {target} ({where}), but "
                                 f"{folder}/ may include only from {may} and the public headers")
    return found


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    root = os.path.abspath(sys.argv[1])
    try:
        layers = parse_layers(sys.argv[2:])
    except ValueError as error:
        sys.exit(f"check-layering: {error}")
    for folder in sorted({b for beneath in layers.values() for b in beneath} - set(layers)):
        sys.exit(f"check-layering: {folder} is named beneath another folder but is no layer")
    found = breaches(root, layers)
    for line in found:
        print(line)
    if found:
        print(f"check-layering: {len(found)} include(s) break the layers", file=sys.stderr)
        return 1
    print(f"check-layering: {len(layers)} folders keep to their layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
