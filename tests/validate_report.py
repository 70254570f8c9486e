#!/usr/bin/env python3
"""Validates flash3-cli JSON reports against the schema in docs/.

    validate_report.py SCHEMA REPORT...

Exit status 0 when every report is valid; otherwise each error is printed.
"""

import json
import sys

import jsonschema


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(sys.argv[1]) as f:
        schema = json.load(f)
    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema, format_checker=jsonschema.FormatChecker())
    bad = 0
    for path in sys.argv[2:]:
        with open(path) as f:
            report = json.load(f)
        for error in sorted(validator.iter_errors(report), key=lambda e: list(e.path)):
            where = "/".join(str(p) for p in error.path) or "(top)"
            print(f"{path}: {where}: {error.message}")
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
