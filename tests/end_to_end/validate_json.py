#!/usr/bin/python3
"""Validates JSON Lines against the result schema: validate_json.py SCHEMA FILE.

Each line must be one JSON object, valid UTF-8, and valid against the schema. Exits 0 when all
are, 1 with the faults on stderr otherwise, 2 when the schema module is missing."""
import json
import sys

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed (scripts/install-deps installs it)",
          file=sys.stderr)
    sys.exit(2)

KINDS = (("country", "result"), ("offered", "query"), ("exists", "port"),
         ("stable_name", "unreached"))


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    faults = 0
    with open(sys.argv[2], "rb") as f:
        lines = f.read().split(b"\n")
    if lines[-1] != b"":
        print("the output does not end with a line end", file=sys.stderr)
        faults += 1
    for number, raw in enumerate(lines[:-1], 1):
        try:
            value = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            print(f"line {number}: {error}: {raw!r}", file=sys.stderr)
            faults += 1
            continue
        if validator.is_valid(value):
            continue
        faults += 1
        # "valid under none of the given schemas" says little: tell what the likeliest kind lacks.
        kind = next((k for key, k in KINDS if isinstance(value, dict) and key in value), None)
        print(f"line {number}: not valid (as {kind}): {raw!r}", file=sys.stderr)
        if kind:
            part = dict(schema["$defs"][kind], **{"$defs": schema["$defs"]})
            for error in jsonschema.Draft202012Validator(part).iter_errors(value):
                print(f"  {error.message} at {list(error.absolute_path)}", file=sys.stderr)
    print(f"{len(lines) - 1} lines, {faults} faults")
    sys.exit(1 if faults else 0)


main()
