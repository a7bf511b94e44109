#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Validates ravelinctl --json outputs against docs/ravelinctl.schema.json.

Usage: validate_json.py SCHEMA KIND FILE [KIND FILE ...]
       validate_json.py SCHEMA --reject KIND FILE [KIND FILE ...]

KIND is a definition under $defs (status, change, reset, flash_id,
flash_read, flash_verify, list, error) or "any" for the whole schema.
Each FILE must hold exactly one JSON object, ending with a newline, and be valid
against the schema and against its KIND.  With --reject every FILE must be
refused instead.  Prints one line per file; exits 1 if any is not as
expected, 2 when the schema itself is broken.
"""
import json
import sys

import jsonschema


def load_one_object(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if not text.endswith("\n"):
        raise ValueError("no newline at the end: %r" % text[-200:])
    # One document: json.loads refuses anything after it.
    value = json.loads(text)
    if not isinstance(value, dict):
        raise ValueError("not a JSON object")
    return value


def main(argv):
    if len(argv) < 4:
        print(__doc__.strip())
        return 2
    with open(argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    cls = jsonschema.validators.validator_for(schema)
    try:
        cls.check_schema(schema)
    except jsonschema.SchemaError as e:
        print("the schema is no valid JSON Schema: %s" % e.message)
        return 2
    whole = cls(schema)
    args = argv[2:]
    reject = args[:1] == ["--reject"]
    if reject:
        args = args[1:]
    if len(args) % 2:
        print("KIND and FILE come in pairs")
        return 2
    failures = 0
    for kind, path in zip(args[0::2], args[1::2]):
        if kind != "any" and kind not in schema["$defs"]:
            print("FAIL: %s: no definition %r in the schema" % (path, kind))
            failures += 1
            continue
        try:
            value = load_one_object(path)
        except (ValueError, OSError) as e:
            if reject:
                print("PASS: %s refused: %s" % (path, e))
            else:
                print("FAIL: %s: %s" % (path, e))
                failures += 1
            continue
        errors = list(whole.iter_errors(value))
        if kind != "any":
            one = dict(schema)
            one.pop("oneOf")
            one["$ref"] = "#/$defs/" + kind
            errors += cls(one).iter_errors(value)
        if reject:
            if errors:
                print("PASS: %s refused as %s: %s" % (path, kind, jsonschema.exceptions.best_match(errors).message[:160]))
            else:
                print("FAIL: %s is valid as %s, but must be refused: %s" % (path, kind, json.dumps(value)))
                failures += 1
        elif errors:
            best = jsonschema.exceptions.best_match(errors)
            print("FAIL: %s is no valid %s: %s at %s" % (path, kind, best.message[:300],
                                                          "/".join(str(p) for p in best.absolute_path) or "top"))
            print("      %s" % json.dumps(value))
            failures += 1
        else:
            print("PASS: %s is a valid %s" % (path, kind))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
