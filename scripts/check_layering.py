#!/usr/bin/env python3
"""Checks the #include lines of our sources against the allowed arrows between folders.

The arrows are written once, as the table under "## Layering" in docs/architecture.md:

    | Folder | May include |
    |---|---|
    | `function/` | `function/` |
    | `net/` | `net/`, `function/`, `platform/` |

A row names a folder (a path prefix below the root) and the folders its sources may include.
A source belongs to the row with the longest folder that contains it; a source of a folder
without a row is not checked. An included file belongs to a folder the same way; an include
that names none of our files (a system or third-party header) is not an arrow.

Usage: check_layering.py [--root DIR] [--doc FILE]
Prints one line per forbidden include ("net/NetMsg.h:12: includes protocol/MiniMapRecords.h
(net/ may include net/, function/, platform/)") and exits 1 when there is any, 0 otherwise;
2 when the table cannot be read.
"""

import argparse
import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp")
INCLUDE_LINE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]')
TABLE_HEADING = "## Layering"


class TableError(Exception):
    pass


def read_table(doc_path):
    """The allowed arrows: {folder: [folders it may include]}, folders ending in '/'."""
    with open(doc_path, encoding="utf-8") as doc:
        lines = doc.read().splitlines()
    try:
        start = lines.index(TABLE_HEADING)
    except ValueError:
        raise TableError(f"{doc_path}: no '{TABLE_HEADING}' section")
    rows = {}
    in_table = False
    for line in lines[start + 1:]:
        if line.startswith("## "):
            break
        if not line.startswith("|"):
            if in_table:
                break
            continue
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) != 2 or set(cells[0]) <= set("-: "):
            continue
        if cells[0] == "Folder":
            in_table = True
            continue
        folder = cells[0].strip("`")
        allowed = re.findall(r"`([^`]+)`", cells[1])
        if not folder.endswith("/") or not all(a.endswith("/") for a in allowed):
            raise TableError(f"{doc_path}: folders end in '/': {line}")
        if folder in rows:
            raise TableError(f"{doc_path}: {folder} has two rows")
        rows[folder] = allowed
    if not rows:
        raise TableError(f"{doc_path}: the '{TABLE_HEADING}' section has no table")
    return rows


def owner(path, folders):
    """The longest folder of `folders` that holds `path`, or None."""
    best = None
    for folder in folders:
        if path.startswith(folder) and (best is None or len(folder) > len(best)):
            best = folder
    return best


def include_roots(root):
    """Where include paths are looked up, besides the including file's own folder: the root
    and every library's public include folder (platform/<lib>/include)."""
    roots = [""]
    platform = os.path.join(root, "platform")
    if os.path.isdir(platform):
        for lib in sorted(os.listdir(platform)):
            if os.path.isdir(os.path.join(platform, lib, "include")):
                roots.append(f"platform/{lib}/include/")
    return roots


def resolve(root, source, included, roots):
    """The root-relative path of the file that `#include included` in `source` names, or None
    when it is none of ours."""
    candidates = [os.path.join(os.path.dirname(source), included)]
    candidates += [prefix + included for prefix in roots]
    for candidate in candidates:
        candidate = os.path.normpath(candidate)
        if not candidate.startswith("..") and os.path.isfile(os.path.join(root, candidate)):
            return candidate.replace(os.sep, "/")
    return None


def sources(root, folders):
    for folder in sorted(folders):
        top = os.path.join(root, folder)
        for directory, subdirs, files in os.walk(top):
            subdirs.sort()
            for name in sorted(files):
                if name.endswith(SOURCE_SUFFIXES):
                    yield os.path.relpath(os.path.join(directory, name), root).replace(
                        os.sep, "/")


def check(root, table):
    """The forbidden includes, as printable lines."""
    folders = list(table)
    roots = include_roots(root)
    seen = set()
    violations = []
    for source in sources(root, folders):
        if source in seen:
            continue
        seen.add(source)
        source_folder = owner(source, folders)
        allowed = table[source_folder]
        with open(os.path.join(root, source), encoding="utf-8", errors="replace") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE_LINE.match(line)
                if not match:
                    continue
                target = resolve(root, source, match.group(1), roots)
                if target is None or owner(target, allowed) is not None:
                    continue
                violations.append(f"{source}:{number}: includes {target} "
                                  f"({source_folder} may include {', '.join(allowed)})")
    return violations


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), ".."))
    parser.add_argument("--doc", help="the table's document (default: ROOT/docs/architecture.md)")
    args = parser.parse_args(argv)
    root = os.path.abspath(args.root)
    try:
        table = read_table(args.doc or os.path.join(root, "docs", "architecture.md"))
    except (OSError, TableError) as error:
        print(f"check_layering: {error}", file=sys.stderr)
        return 2
    violations = check(root, table)
    for violation in violations:
        print(violation)
    if violations:
        print(f"check_layering: {len(violations)} forbidden includes")
        return 1
    print(f"check_layering: {len(table)} folders, every include allowed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
