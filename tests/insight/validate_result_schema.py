"""Checks the JSON results written by the sample program against the schema.

usage: validate_result_schema.py SAMPLE_PROGRAM SCHEMA
"""
import json
import pathlib
import subprocess
import sys
import tempfile

import jsonschema


def main() -> int:
    program, schema_path = sys.argv[1], pathlib.Path(sys.argv[2])
    schema = json.loads(schema_path.read_text(encoding="utf-8"))
    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema)

    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([program, folder], check=True)
        files = sorted(pathlib.Path(folder).glob("*.json"))
        if len(files) < 4:
            print(f"expected at least 4 samples, got {len(files)}")
            return 1
        failures = 0
        for path in files:
            # Strict JSON: NaN and Infinity are not JSON.
            def reject(constant):
                raise ValueError(f"{path.name}: {constant} is not JSON")
            document = json.loads(path.read_text(encoding="utf-8"), parse_constant=reject)
            errors = sorted(validator.iter_errors(document), key=lambda e: list(e.path))
            for error in errors:
                print(f"{path.name}: {'/'.join(map(str, error.path))}: {error.message}")
            failures += len(errors)
            print(f"{path.name}: {'ok' if not errors else 'INVALID'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
