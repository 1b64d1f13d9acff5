#!/usr/bin/python3
"""Known answers of the series analysis: dose series of the sample
generator's linear and logarithmic detectors judged by evenor-cli series; the
fits must recover the detector the generator describes, and a series that does
not belong together must be refused.

usage: series_known_answers.py EVENOR_CLI MAKE_SAMPLE
"""
import json
import math
import os
import subprocess
import sys
import tempfile

CLI, GENERATOR = sys.argv[1], sys.argv[2]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def near(value, truth, relative):
    return value is not None and abs(value - truth) <= relative * abs(truth)


def make_series(folder, name, *options):
    where = os.path.join(folder, name)
    subprocess.run(["/usr/bin/python3", GENERATOR, "--series", where, "--rows", "512", "--cols", "512", *options],
                   check=True, stdout=subprocess.DEVNULL)
    images = sorted(f for f in os.listdir(where) if f.startswith("k") and f.endswith(".dcm"))
    return where, [os.path.join(where, f) for f in images]


def series(where, images, *options, name="series.json"):
    out = os.path.join(where, name)
    run = subprocess.run([CLI, "series", *images, "--json", out, *options], capture_output=True, text=True)
    result = None
    if run.returncode == 0:
        with open(out, encoding="utf-8") as f:
            result = json.load(f)
    return run, result


def truth_fraction(k):
    """The linear detector's structured fraction at k uGy."""
    return 0.16 * k * k / (25 + 40 * k + 0.16 * k * k)


def dose(result, kerma):
    return next(d for d in result["doses"] if d["kerma_uGy"] == kerma)


with tempfile.TemporaryDirectory() as folder:
    linear, linear_images = make_series(folder, "linear", "--ei-error", "0")
    log, log_images = make_series(folder, "log", "--response", "log")
    off, off_images = make_series(folder, "off", "--ei-error", "30", "--doses", "2,10,40")
    csv = ["--kerma-file", os.path.join(linear, "kerma.csv")]

    # name, result, checks: (what, value from the result, truth, relative tolerance or absolute with "abs")
    cases = []
    run, result = series(linear, linear_images, *csv)
    check(run.returncode == 0, f"linear: exit status {run.returncode}: {run.stderr}")
    if result:
        cases += [
            ("linear: model", result["response"]["model"] == "linear"),
            ("linear: slope", near(result["response"]["coefficients"]["slope"], 20.0, 0.01)),
            ("linear: offset", near(result["response"]["coefficients"]["offset"], 100.0, 0.02)),
            ("linear: R2", result["response"]["r2"] > 0.999),
            ("linear: q", near(result["noise_components"]["quantum"], 40.0, 0.10)),
            ("linear: s", near(result["noise_components"]["structured"], 0.16, 0.25)),
            ("linear: e >= 0", result["noise_components"]["electronic"] >= 0.0),
            ("linear: structured fraction at 20 uGy",
             abs(dose(result, 20.0)["structured_fraction"] - truth_fraction(20.0)) <= 0.03),
            ("linear: structured fraction at 40 uGy",
             abs(dose(result, 40.0)["structured_fraction"] - truth_fraction(40.0)) <= 0.03),
            ("linear: quantum SD at 10 uGy", near(dose(result, 10.0)["quantum_sd"], math.sqrt(25 + 400), 0.03)),
            ("linear: quantum limited from", near(result["noise_components"]["quantum_limited_range"]["from_uGy"],
                                                  0.625, 0.5)),
            ("linear: six points with residuals", len(result["response"]["points"]) == 6
             and all("residual" in p for p in result["response"]["points"])),
            ("linear: EI pass", result["exposure_index"]["verdict"] == "pass"),
            ("linear: no persistent pixels", result["deviating_pixels"]["persistent"] == 0),
        ]

    # One dose: the pair at 20 uGy without kerma.
    run, result = series(linear, [i for i in linear_images if "k05" in i], name="one-dose.json")
    check(run.returncode == 0, f"one dose: exit status {run.returncode}: {run.stderr}")
    if result:
        cases += [
            ("one dose: structured fraction", abs(result["noise"]["structured_fraction"] - truth_fraction(20.0)) <= 0.03),
            ("one dose: total SD", near(result["noise"]["total_sd"], math.sqrt(25 + 800 + 64), 0.03)),
            ("one dose: no response", result["response"] is None and result["noise_components"] is None),
        ]

    run, result = series(log, log_images, "--kerma-file", os.path.join(log, "kerma.csv"))
    check(run.returncode == 0, f"log: exit status {run.returncode}: {run.stderr}")
    if result:
        cases += [
            ("log: model", result["response"]["model"] == "log"),
            ("log: slope", near(result["response"]["coefficients"]["slope_per_ln_uGy"], 300.0, 0.01)),
        ]

    run, result = series(off, off_images, "--kerma", "2,2,10,10,40,40")
    check(run.returncode == 0, f"EI off: exit status {run.returncode}: {run.stderr}")
    if result:
        cases += [
            ("EI off: verdict", result["exposure_index"]["verdict"] == "fail"),
            ("EI off: ratio", all(near(i["ei_ratio"], 1.3, 0.001) for i in result["images"])),
        ]
    # Linearisation: one image of the linear detector at 20 uGy judged on
    # kerma-linear values. Without the offset of 100 the relative spread
    # grows by 500 / 400; the report stays the stored values' byte for byte.
    image = next(i for i in linear_images if "k05-1" in i)
    stored, linearised = {}, {}
    for name, extra, into in (("stored", [], stored),
                              ("linear", ["--response", os.path.join(linear, "series.json")], linearised)):
        run = subprocess.run([CLI, "analyse", image, "-o", os.path.join(folder, name + ".txt"),
                              "--json", os.path.join(folder, name + ".json"), *extra], capture_output=True, text=True)
        check(run.returncode == 0, f"analyse {name}: exit status {run.returncode}: {run.stderr}")
        if run.returncode == 0:
            with open(os.path.join(folder, name + ".json"), encoding="utf-8") as f:
                into.update(json.load(f))
    if stored and linearised:
        with open(os.path.join(folder, "stored.txt"), "rb") as a, open(os.path.join(folder, "linear.txt"), "rb") as b:
            cases.append(("linearised: report unchanged", a.read() == b.read()))
        cases += [
            ("linearised: JSON says so", linearised.get("values", {}).get("basis") == "kerma_linear"
             and "values" not in stored),
            ("linearised: area kerma", near(linearised["values"]["area_mean_kerma_uGy"], 20.0, 0.01)),
            ("linearised: global uniformity", near(linearised["metrics"]["global_uniformity"]["every_pixel_value"],
                                                   stored["metrics"]["global_uniformity"]["every_pixel_value"]
                                                   * 500 / 400, 0.03)),
        ]
    run = subprocess.run([CLI, "analyse", image, "-o", os.path.join(folder, "x.txt"), "--response",
                          os.path.join(off, "kerma.csv")], capture_output=True, text=True)
    check(run.returncode == 1 and "not a JSON document" in run.stderr, f"response not JSON: {run.stderr!r}")

    for what, passed in cases:
        check(passed, what)

    # Refusals: exit status and the message naming the reason.
    small = os.path.join(folder, "small.dcm")
    other = os.path.join(folder, "other.dcm")
    subprocess.run(["/usr/bin/python3", GENERATOR, "--rows", "256", "--cols", "256", "--out", small],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["/usr/bin/python3", GENERATOR, "--rows", "512", "--cols", "512", "--detector-id", "DET-9",
                    "--out", other], check=True, stdout=subprocess.DEVNULL)
    refusals = [
        ("size", [linear_images[0], small], 1, "256 x 256 pixels, not 512 x 512 as"),
        ("detector", [linear_images[0], other], 1, 'not the same detector as ' + linear_images[0]
         + ' (Detector ID "DET-9", not "DET-0042")'),
        ("kerma count", [*linear_images[:3], "--kerma", "1,2"], 2, "--kerma: 2 values for 3 images"),
        ("kerma value", [*linear_images[:2], "--kerma", "1,-2"], 2, '"-2" is not a kerma in'),
        ("one image", linear_images[:1], 2, "a series needs at least two images"),
        ("same image twice", [linear_images[0], linear_images[0]], 1, "given twice"),
    ]
    for name, args, status, message in refusals:
        run = subprocess.run([CLI, "series", *args], capture_output=True, text=True)
        check(run.returncode == status, f"refused {name}: exit status {run.returncode}, not {status}")
        check(message in run.stderr, f"refused {name}: {run.stderr!r} lacks {message!r}")

    # File names that are not UTF-8 (a Latin-1 name) still give a JSON.
    latin = [os.path.join(os.fsencode(folder), b"\xe9t\xe9-%d.dcm" % i) for i in (1, 2)]
    for source, target in zip(linear_images[:2], latin):
        with open(source, "rb") as a, open(target, "wb") as b:
            b.write(a.read())
    out = os.path.join(folder, "latin.json")
    run = subprocess.run([os.fsencode(CLI), b"series", *latin, b"--json", os.fsencode(out)], capture_output=True)
    check(run.returncode == 0, f"Latin-1 names: exit status {run.returncode}: {run.stderr!r}")
    if run.returncode == 0:
        with open(out, encoding="utf-8") as f:
            check("\ufffd" in json.load(f)["images"][0]["file"], "Latin-1 names: bytes not replaced")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
