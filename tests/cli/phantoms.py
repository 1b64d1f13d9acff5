#!/usr/bin/python3
"""Known-answer phantoms: images from scripts/make-sample.py, each with one
planted detector fault, analysed by evenor-cli; the JSON must name the fault
and nothing else.

usage: phantoms.py EVENOR_CLI MAKE_SAMPLE
"""
import json
import os
import subprocess
import sys
import tempfile

CLI, GENERATOR = sys.argv[1], sys.argv[2]
METRICS = ("global_uniformity", "local_uniformity", "noise_uniformity",
           "roi_mean_deviation", "roi_snr_deviation")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def analyse(folder, name, *options, extra=()):
    image = os.path.join(folder, name + ".dcm")
    subprocess.run(["/usr/bin/python3", GENERATOR, "--rows", "512", "--cols", "512",
                    "--seed", "2", "--out", image, *options], check=True, stdout=subprocess.DEVNULL)
    out = os.path.join(folder, name + ".json")
    run = subprocess.run([CLI, "analyse", image, "-o", os.path.join(folder, name + ".txt"),
                          "--json", out, *extra], capture_output=True, text=True)
    check(run.returncode == 0, f"{name}: exit status {run.returncode}: {run.stderr}")
    with open(out, encoding="utf-8") as f:
        return json.load(f)


def verdicts(result):
    return {c["key"]: c["verdict"] for c in result["guideline"]["checks"]}


with tempfile.TemporaryDirectory() as folder:
    clean = analyse(folder, "clean", "--clean")
    check(clean["guideline"]["overall"] == "pass", f"clean: overall {clean['guideline']['overall']}")
    check(clean["defects"]["clusters"] == [] and clean["defects"]["lines"] == [], "clean: defects found")
    check(clean["rims"]["found"] is False, "clean: rim found")

    # Hot and dead pixels on the same noise (seed 2 puts none of them in the
    # last row or column, which no ROI of the grid covers): the robust metrics stay within
    # 0.1 percentage point of the clean field's, the every-pixel ones do not.
    hot = analyse(folder, "hot", "--clean", "--defects", "4")
    check(hot["counts"]["deviating_pixels"] == 8, f"hot: {hot['counts']['deviating_pixels']} deviating pixels")
    check(hot["defects"]["single_pixels"] == 8, "hot: not 8 single pixels")
    for key in METRICS:
        a, b = clean["metrics"][key]["value"], hot["metrics"][key]["value"]
        check(abs(a - b) <= 0.1, f"hot: robust {key} moved from {a} to {b}")
    check(hot["metrics"]["noise_uniformity"]["every_pixel_value"] > 100,
          "hot: every-pixel noise uniformity did not see the hot pixels")
    check(verdicts(hot)["largest_defect_cluster"] == "pass", "hot: single pixels judged as a cluster")

    cluster = analyse(folder, "cluster", "--clean", "--cluster", "3")
    clusters = cluster["defects"]["clusters"]
    check(len(clusters) == 1 and clusters[0]["size"] == 9 and
          (clusters[0]["x"], clusters[0]["y"]) == (154, 154), f"cluster: {clusters}")
    check(verdicts(cluster)["largest_defect_cluster"] == "warning", "cluster: 3 x 3 not a warning")

    for orientation, option in (("column", "--column-offset"), ("row", "--row-offset")):
        line = analyse(folder, orientation, "--clean", option, "2")
        found = [(l["orientation"], l["index"]) for l in line["defects"]["lines"]]
        check(found == [(orientation, 170)], f"{orientation} offset 2 %: lines {found}")
        check(verdicts(line)["line_defects"] == "fail", f"{orientation}: line not judged")

    rim = analyse(folder, "rim", "--clean", "--rim", "24")
    sides = [rim["rims"].get(side, {}).get("lines") for side in ("top", "bottom", "left", "right")]
    check(rim["rims"]["found"] and sides == [24] * 4, f"rim: {rim['rims']}")
    check(rim["rims"]["border_mm"] == 3.5, "rim: no border proposed")
    # Leaving the rim out (24 px at 0.143 mm = 3.432 mm; 3.5 mm) gives a clean area.
    inner = analyse(folder, "rim-border", "--clean", "--rim", "24", extra=("--border-mm", "3.5"))
    check(inner["guideline"]["overall"] == "pass", f"rim less border: {inner['guideline']['overall']}")

    noisy = analyse(folder, "row-noise", "--clean", "--row-noise", "30")
    rows = noisy["structured_noise"]["rows"]["correlated_percent"]
    columns = noisy["structured_noise"]["columns"]["correlated_percent"]
    check(24 <= rows <= 36 and columns < 8, f"row noise 30 %: rows {rows}, columns {columns}")
    check(verdicts(noisy)["row_correlated_noise"] == "fail", "row noise: not judged")

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("all phantoms gave their known answers")
