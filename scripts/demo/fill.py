#!/usr/bin/env python3
"""Fills the @NAME@ placeholders of a JSON template: fill.py IN.json OUT.json NAME=VALUE...

Values are put into the parsed strings, so any path or address stays valid JSON.
"""

import json
import sys


def fill(value, names):
    if isinstance(value, str):
        for name, text in names.items():
            value = value.replace("@" + name + "@", text)
        return value
    if isinstance(value, list):
        return [fill(item, names) for item in value]
    if isinstance(value, dict):
        return {k: fill(v, names) for k, v in value.items()}
    return value


def main(argv):
    source, target, *pairs = argv
    names = dict(pair.split("=", 1) for pair in pairs)
    with open(source, encoding="utf-8") as f:
        data = json.load(f)
    with open(target, "w", encoding="utf-8") as f:
        json.dump(fill(data, names), f, ensure_ascii=False, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main(sys.argv[1:])
