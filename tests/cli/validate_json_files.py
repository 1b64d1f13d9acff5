"""Checks JSON result files against the result schema.

usage: validate_json_files.py SCHEMA FILE...
Prints one line per problem; exit status 1 when any file is invalid.
"""
import json
import pathlib
import sys

import jsonschema


def reject(constant):
    raise ValueError(f"{constant} is not JSON")


def main() -> int:
    schema = json.loads(pathlib.Path(sys.argv[1]).read_text(encoding="utf-8"))
    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema)
    failures = 0
    for name in sys.argv[2:]:
        # Strict JSON: NaN and Infinity are not JSON.
        document = json.loads(pathlib.Path(name).read_text(encoding="utf-8"), parse_constant=reject)
        for error in validator.iter_errors(document):
            print(f"{name}: {'/'.join(map(str, error.path))}: {error.message}")
            failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
