#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Validates ravelinctl --json outputs against docs/ravelinctl.schema.json.

Usage: validate_json.py SCHEMA [--mutate] KIND FILE [KIND FILE ...]

KIND is a definition under $defs (status, change, diff, reset, flash_id,
flash_read, flash_verify, list, error), optionally followed by ":" and a
JSON object whose keys the output must hold with these values
(change:{"changed":false}).  Each FILE must hold exactly one JSON object,
ending with a newline, valid against the whole schema and against its KIND.

With --mutate every FILE is valid as above, and each of a set of broken
copies of it (an unknown key, a missing key, a value of the wrong type or
out of range) must be refused: the schema is as strict as it says.

Prints one line per check; exits 1 if any failed, 2 on bad usage or a
schema that is no valid JSON Schema.
"""
import copy
import json
import sys

import jsonschema
from jsonschema.exceptions import best_match


class Schema:
    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            self.doc = json.load(f)
        self.cls = jsonschema.validators.validator_for(self.doc)
        self.cls.check_schema(self.doc)
        self.whole = self.cls(self.doc)
        self.kinds = {}

    def errors(self, value, kind):
        """Every reason why value is not a valid output of this kind."""
        if kind not in self.kinds:
            one = {k: v for k, v in self.doc.items() if k != "oneOf"}
            one["$ref"] = "#/$defs/" + kind
            self.kinds[kind] = self.cls(one)
        return list(self.whole.iter_errors(value)) + list(self.kinds[kind].iter_errors(value))


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


def where(error):
    return "/".join(str(p) for p in error.absolute_path) or "top"


def mutants(value, kind):
    """(description, broken copy) pairs that the schema must refuse."""
    def changed(description, edit):
        broken = copy.deepcopy(value)
        edit(broken)
        return description, broken

    yield changed("an unknown key at the top", lambda v: v.__setitem__("unexpected", 1))
    for key in value:
        if key != "program_name_hex":  # present only for a name that is not UTF-8
            yield changed("without %r" % key, lambda v, k=key: v.pop(k))
    if "adapter" in value:
        yield changed("adapter 256", lambda v: v.__setitem__("adapter", 256))
        yield changed("adapter as a string", lambda v: v.__setitem__("adapter", str(v["adapter"])))
    if kind == "status":
        yield changed("mac in capitals", lambda v: v.__setitem__("mac", "00:1A:2B:3C:4D:5E"))
        yield changed("mac with dashes", lambda v: v.__setitem__("mac", v["mac"].replace(":", "-")))
        yield changed("input rate 256", lambda v: v["input"].__setitem__("rate", 256))
        yield changed("input progressive as 1", lambda v: v["input"].__setitem__("progressive", 1))
        yield changed("input with an unknown key", lambda v: v["input"].__setitem__("scan", 1))
        yield changed("input signal the other way", lambda v: v["input"].__setitem__("signal", not v["input"]["signal"]))
        yield changed("mute as 0", lambda v: v.__setitem__("mute", 0))
        yield changed("program_name of 161 characters", lambda v: v.__setitem__("program_name", "x" * 161))
        yield changed("program_name_hex in capitals", lambda v: v.__setitem__("program_name_hex", "E9"))
        yield changed("program_name_hex of an odd length", lambda v: v.__setitem__("program_name_hex", "e"))
        yield changed("output mode manual", lambda v: v["output"].__setitem__("mode", "manual"))
        yield changed("output with an unknown key", lambda v: v["output"].__setitem__("preset_name", "x"))
        mode = value["output"]["mode"]
        if mode == "preset":
            yield changed("preset 8", lambda v: v["output"].__setitem__("preset", 8))
            yield changed("preset 0", lambda v: v["output"].__setitem__("preset", 0))
            yield changed("preset and name that do not belong together",
                          lambda v: v["output"].__setitem__("name", "mobile" if v["output"]["preset"] != 7 else "super"))
        if mode == "advanced":
            yield changed("profile baseline", lambda v: v["output"].__setitem__("profile", "baseline"))
            yield changed("level as text", lambda v: v["output"].__setitem__("level", "4.1"))
            yield changed("width 65536", lambda v: v["output"].__setitem__("width", 65536))
            yield changed("bitrate -1", lambda v: v["output"].__setitem__("bitrate", -1))
            yield changed("frame_rate 29.97", lambda v: v["output"].__setitem__("frame_rate", 29.97))
            yield changed("consistent true", lambda v: v["output"].__setitem__("consistent", True))
        if mode == "auto":
            yield changed("auto with a preset", lambda v: v["output"].__setitem__("preset", 1))
    if kind == "change":
        yield changed("changed the other way", lambda v: v.__setitem__("changed", not v["changed"]))
        yield changed("written with an unknown setting", lambda v: v.__setitem__("written", v["written"] + ["mac"]))
        yield changed("written twice", lambda v: v.__setitem__("written", ["mute", "mute"]))
    if kind == "diff":
        yield changed("different the other way", lambda v: v.__setitem__("different", not v["different"]))
        yield changed("would_write with an unknown setting", lambda v: v["would_write"].append("mac"))
        yield changed("before with an unknown setting", lambda v: v["before"].__setitem__("mac", "00:1a:2b:3c:4d:5e"))
        yield changed("after with mute as 0", lambda v: v["after"].__setitem__("mute", 0))
        yield changed("after with a name hex in capitals", lambda v: v["after"].update(program_name="", program_name_hex="E9"))
        if "output" in value["before"]:
            yield changed("before with output mode manual", lambda v: v["before"]["output"].__setitem__("mode", "manual"))
    if kind == "reset":
        yield changed("reset of the card", lambda v: v.__setitem__("reset", "card"))
        yield changed("busy_rounds 100", lambda v: v.__setitem__("busy_rounds", 100))
        yield changed("changed false", lambda v: v.__setitem__("changed", False))
    if kind == "flash_id":
        yield changed("size not a power of two", lambda v: v.__setitem__("size", 3000000))
        yield changed("three version bytes", lambda v: v.__setitem__("version", v["version"][:3]))
        yield changed("manufacturer 256", lambda v: v.__setitem__("manufacturer", 256))
    if kind == "flash_verify":
        if value["identical"]:
            yield changed("not identical without first_difference", lambda v: v.__setitem__("identical", False))
        else:
            yield changed("identical with first_difference", lambda v: v.__setitem__("identical", True))
    if kind == "list" and value["nodes"]:
        yield changed("a node with an unknown kind", lambda v: v["nodes"][0].__setitem__("kind", "tuner"))
        yield changed("a node without its path", lambda v: v["nodes"][0].pop("path"))
        yield changed("a node of another path", lambda v: v["nodes"][0].__setitem__("path", "/dev/video0"))
        for i, node in enumerate(value["nodes"]):
            if node["kind"] == "card":
                yield changed("a card without its MAC", lambda v, i=i: v["nodes"][i].pop("mac"))
                yield changed("a card that is other", lambda v, i=i: v["nodes"][i].__setitem__("kind", "other"))
            if node["kind"] == "unusable":
                yield changed("an unusable node without its fix", lambda v, i=i: v["nodes"][i].pop("fix"))
    if kind == "error":
        yield changed("exit 0", lambda v: v.__setitem__("exit", 0))
        yield changed("an empty step", lambda v: v.__setitem__("step", ""))


def main(argv):
    args = argv[1:]
    if len(args) < 3:
        print(__doc__.strip())
        return 2
    try:
        schema = Schema(args.pop(0))
    except (OSError, ValueError, jsonschema.SchemaError) as e:
        print("the schema cannot be used: %s" % e)
        return 2
    mutate = args[:1] == ["--mutate"]
    if mutate:
        args = args[1:]
    if len(args) % 2:
        print("KIND and FILE come in pairs")
        return 2
    failures = 0
    checks = 0
    for check, path in zip(args[0::2], args[1::2]):
        kind, _, expected = check.partition(":")
        if kind not in schema.doc["$defs"]:
            print("FAIL: %s: no definition %r in the schema" % (path, kind))
            failures += 1
            continue
        try:
            value = load_one_object(path)
        except (ValueError, OSError) as e:
            print("FAIL: %s: %s" % (path, e))
            failures += 1
            continue
        errors = schema.errors(value, kind)
        if errors:
            error = best_match(errors)
            print("FAIL: %s is no valid %s: %s at %s" % (path, kind, error.message[:300], where(error)))
            print("      %s" % json.dumps(value))
            failures += 1
            continue
        wrong = [k for k, v in (json.loads(expected) if expected else {}).items() if value.get(k) != v]
        if wrong:
            print("FAIL: %s: %s, expected %s" % (path, json.dumps({k: value.get(k) for k in wrong}), expected))
            failures += 1
            continue
        if not mutate:
            print("PASS: %s is a valid %s" % (path, check))
            continue
        for description, broken in mutants(value, kind):
            checks += 1
            if not schema.errors(broken, kind):
                print("FAIL: %s %s is valid, but must be refused: %s" % (path, description, json.dumps(broken)))
                failures += 1
        print("PASS: %s is a valid %s; the schema refuses each broken copy" % (path, kind))
    if mutate:
        print("%d broken copies checked" % checks)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
