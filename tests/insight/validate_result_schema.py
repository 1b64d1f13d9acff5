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
        if len(files) < 5:
            print(f"expected at least 5 samples, got {len(files)}")
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
        # The planted faults are where the layout says.
        faults = json.loads((pathlib.Path(folder) / "faults.json").read_text(encoding="utf-8"))
        expected = {
            "rim on the left": faults["rims"]["found"] and faults["rims"]["left"]["lines"] >= 12,
            "row 140": [(line["orientation"], line["index"]) for line in faults["defects"]["lines"]]
            == [("row", 140)],
            # The rim's boxes make every pixel beside it deviate: the largest cluster.
            "6 hot pixels at (100.5, 61)": {"size": 6, "x": 100.5, "y": 61, "left": 100, "top": 60, "right": 101,
                                            "bottom": 62, "hot": 6, "dead": 0} in faults["defects"]["clusters"],
            "largest first": faults["defects"]["largest_cluster"] == faults["defects"]["clusters"][0]["size"] > 6,
            "line defect fails": any(check["key"] == "line_defects" and check["verdict"] == "fail"
                                     for check in faults["guideline"]["checks"]),
        }
        for name, ok in expected.items():
            if not ok:
                print(f"faults.json: {name}: not as planted")
                failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
