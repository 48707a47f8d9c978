#!/usr/bin/env python3
"""Validates every line of minimap-client's `--events jsonl` output against its JSON Schema.

    scripts/validate_events.py SCHEMA FILE...

Each line must be strict JSON (no NaN or Infinity, no repeated key) and valid against SCHEMA.
Prints "validated N lines" and exits 0 when every line is; otherwise names each bad line and
exits 1. Exits 2 when the validator itself is missing (Debian's python3-jsonschema, installed by
scripts/setup.sh): a check that cannot run is a failure, never a skip.
"""

import json
import sys

try:
    import jsonschema
except ImportError:
    sys.exit("validate_events.py: python3-jsonschema is not installed (run scripts/setup.sh)")


def strict_object(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError(f"repeated key in {keys}")
    return dict(pairs)


def reject_constant(name):
    raise ValueError(f"{name} is not JSON")


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__.strip().splitlines()[2].strip())
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema)
    count = 0
    bad = 0
    for path in sys.argv[2:]:
        with open(path, encoding="utf-8", newline="\n") as f:
            for number, line in enumerate(f, 1):
                count += 1
                try:
                    value = json.loads(line, object_pairs_hook=strict_object,
                                       parse_constant=reject_constant)
                except ValueError as e:
                    bad += 1
                    print(f"{path}:{number}: not JSON: {e}")
                    continue
                for error in validator.iter_errors(value):
                    bad += 1
                    print(f"{path}:{number}: {error.message} at {list(error.absolute_path)}")
    print(f"validated {count} lines, {bad} errors")
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
