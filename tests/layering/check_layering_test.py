#!/usr/bin/env python3
"""The layering checker on small synthetic trees: it passes a tree that keeps the table, and
fails, naming the file, line and header, on one that breaks it."""

import os
import subprocess
import sys
import tempfile
import unittest

CHECKER = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(__file__), "..", "..", "scripts", "check_layering.py")

TABLE = """# Architecture

## Layering

| Folder | May include |
|---|---|
| `function/` | `function/` |
| `platform/` | `platform/`, `function/` |
| `net/` | `net/`, `function/`, `platform/` |
| `SceneSystem/Pyr_MiniMap/` | `SceneSystem/`, `net/`, `function/`, `platform/` |

## Next section

| Folder | May include |
|---|---|
| `net/` | `SceneSystem/` |
"""


def make_tree(root, files):
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="utf-8") as out:
            out.write(text)


def run(root):
    result = subprocess.run([sys.executable, CHECKER, "--root", root], capture_output=True,
                            text=True, check=False)
    return result.returncode, result.stdout + result.stderr


# Arrows the table allows: through the root, through a library's include folder, relative to
# the including file, and to headers that are none of ours.
GOOD = {
    "docs/architecture.md": TABLE,
    "function/Function.h": "#pragma once\n#include <vector>\n",
    "platform/plinth/include/plinth/Log.h": '#include "function/Function.h"\n',
    "net/NetMsg.h": '#include "plinth/Log.h"\n#include "Detail.h"\n#include "tinyxml.h"\n',
    "net/Detail.h": "#pragma once\n",
    "SceneSystem/Interfaces/IRole.h": "#pragma once\n",
    "SceneSystem/Pyr_MiniMap/Map.cpp": '#include "SceneSystem/Interfaces/IRole.h"\n',
    "tests/anything.cpp": '#include "SceneSystem/Pyr_MiniMap/Map.cpp"\n',
}


class CheckLayering(unittest.TestCase):
    def test_a_tree_that_keeps_the_table_passes(self):
        with tempfile.TemporaryDirectory() as root:
            make_tree(root, GOOD)
            code, output = run(root)
            self.assertEqual(code, 0, output)

    def test_each_forbidden_include_fails_with_its_file_line_and_header(self):
        with tempfile.TemporaryDirectory() as root:
            make_tree(root, dict(GOOD, **{
                "function/Function.h": '#pragma once\n\n#  include <net/NetMsg.h>\n',
                "net/Records.h": '#include "net/Detail.h"\n#include "SceneSystem/Interfaces/IRole.h"\n',
                "platform/plinth/src/Log.cpp": '#include "../../../net/Detail.h"\n',
            }))
            code, output = run(root)
            self.assertEqual(code, 1, output)
            self.assertIn("function/Function.h:3: includes net/NetMsg.h "
                          "(function/ may include function/)", output)
            # Only the table under "## Layering" counts, not a later one.
            self.assertIn("net/Records.h:2: includes SceneSystem/Interfaces/IRole.h", output)
            self.assertIn("platform/plinth/src/Log.cpp:1: includes net/Detail.h", output)
            self.assertIn("3 forbidden includes", output)

    def test_a_missing_table_is_an_error_not_a_pass(self):
        with tempfile.TemporaryDirectory() as root:
            make_tree(root, dict(GOOD, **{"docs/architecture.md": "# Architecture\n"}))
            code, output = run(root)
            self.assertEqual(code, 2, output)


if __name__ == "__main__":
    unittest.main()
