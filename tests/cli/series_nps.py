#!/usr/bin/python3
"""Known answers of the noise power spectrum of a series (series --nps) and of
linearised values (analyse --nps --response), on the sample generator's linear
detector pv = 100 + 20 K with white noise of variance 25 + 40 K + 0.16 K^2:
its NNPS is flat at variance * spacing^2 / mean^2, of the stored values with
their mean 100 + 20 K, of the kerma-linear values with variance / 20^2 and
mean K. A faint grid shows in the spectrum of four images, not in one.

usage: series_nps.py EVENOR_CLI MAKE_SAMPLE
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile

CLI, GENERATOR = sys.argv[1], sys.argv[2]
SPACING = 0.143  # the generator's default
OFFSET, SLOPE = 100.0, 20.0
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def variance(k):
    return 25 + 40 * k + 0.16 * k * k + 1 / 12  # the last: rounding to integers


def flat_nnps(k, linearised):
    if linearised:
        return variance(k) / SLOPE ** 2 * SPACING ** 2 / k ** 2
    return variance(k) * SPACING ** 2 / (OFFSET + SLOPE * k) ** 2


def level(nps):
    """The flat level (the radial average over every frequency) and the
    relative scatter of the radial values about it."""
    radial = nps["radial"][1:]  # the first bin lies where the detrend removes power
    mean = statistics.fmean(radial)
    return mean, statistics.pstdev(radial) / mean


def run(args, out):
    done = subprocess.run([CLI, *args, "--json", out, "--nps"], capture_output=True, text=True)
    if done.returncode != 0:
        failures.append(f"{' '.join(args[:2])}: exit {done.returncode}: {done.stderr.strip()}")
        return None
    with open(out, encoding="utf-8") as f:
        return json.load(f)


def dose(result, kerma):
    return next(d for d in result["doses"] if d["kerma_uGy"] == kerma)


with tempfile.TemporaryDirectory() as folder:
    where = os.path.join(folder, "linear")
    subprocess.run(["/usr/bin/python3", GENERATOR, "--series", where, "--rows", "768", "--cols", "768",
                    "--doses", "2,5,10,20", "--per-dose", "4"], check=True, stdout=subprocess.DEVNULL)
    images = sorted(os.path.join(where, f) for f in os.listdir(where) if f.startswith("k") and f.endswith(".dcm"))
    at10 = [f for f in images if os.path.basename(f).startswith("k03-")]

    doses = run(["series", *images, "--kerma-file", os.path.join(where, "kerma.csv")],
                os.path.join(folder, "doses.json"))
    stack = run(["series", *at10], os.path.join(folder, "stack.json"))
    single = run(["analyse", at10[0], "-o", os.path.join(folder, "single.txt")], os.path.join(folder, "single.json"))
    linear = run(["analyse", at10[0], "-o", os.path.join(folder, "linear.txt"),
                  "--response", os.path.join(folder, "doses.json")], os.path.join(folder, "linear.json"))
    if failures:
        print("\n".join(failures))
        sys.exit(1)

    # Every dose of a fitted series: kerma-linear values, the flat level of
    # its kerma, all 5 x 5 ROIs of its four images.
    for kerma in (2, 5, 10, 20):
        nps = dose(doses, kerma)["nps"]
        got, _ = level(nps)
        check(nps["values"] == "linearised values", f"dose {kerma}: values {nps['values']!r}")
        check(nps["rois"] == 100 and nps["images"] == 4, f"dose {kerma}: {nps['rois']} ROIs of {nps['images']}")
        check(abs(got / flat_nnps(kerma, True) - 1) < 0.05,
              f"dose {kerma}: linearised NNPS {got:.4g}, not {flat_nnps(kerma, True):.4g}")
        check(nps["verdict"] == "no periodic pattern", f"dose {kerma}: {nps['verdict']} {nps['peaks']}")
    check(doses["nps"] == dose(doses, 20)["nps"], "the top-level nps is not that of the noise block's dose")

    # One dose (no kerma): stored values; the series' NNPS is the single
    # image's level, with half its scatter (four images).
    series_level, series_scatter = level(stack["nps"])
    single_level, single_scatter = level(single["nps"])
    table = [
        ("stack values", stack["nps"]["values"] == "stored values", stack["nps"]["values"]),
        ("single values", single["nps"]["values"] == "stored values", single["nps"]["values"]),
        ("linear values", linear["nps"]["values"] == "linearised values", linear["nps"]["values"]),
        ("stack level", abs(series_level / flat_nnps(10, False) - 1) < 0.03, series_level),
        ("single level", abs(single_level / flat_nnps(10, False) - 1) < 0.05, single_level),
        ("stack / single level", abs(series_level / single_level - 1) < 0.05, series_level / single_level),
        ("scatter ratio ~ 1/sqrt(4)", 0.35 < series_scatter / single_scatter < 0.65, series_scatter / single_scatter),
        ("stack ROIs", stack["nps"]["rois"] == 4 * single["nps"]["rois"], stack["nps"]["rois"]),
    ]
    # Linearised against stored on the same values: the NPS divides by the
    # slope^2 and the mean becomes (mean - offset) / slope, so the NNPS rises
    # by (mean / (mean - offset))^2 = (300 / 200)^2 at 10 uGy.
    factor = (OFFSET + SLOPE * 10) ** 2 / (SLOPE * 10) ** 2
    for name, lin, stored in (("analyse", linear["nps"], single["nps"]),
                              ("series", dose(doses, 10)["nps"], stack["nps"])):
        ratio = [a / b for a, b in zip(lin["radial"][1:], stored["radial"][1:])]
        table.append((f"{name} linearised / stored", abs(statistics.fmean(ratio) / factor - 1) < 0.04,
                      statistics.fmean(ratio)))
        table.append((f"{name} linearised mean", abs(lin["mean"] / 10 - 1) < 0.03, lin["mean"]))
    for name, ok, value in table:
        check(ok, f"{name}: {value}")

    # A faint grid (a sinusoid of amplitude 0.4 at 2.5 mm^-1 in noise of SD
    # 21) in four images at one dose: lost in the scatter of each image's
    # spectrum, one horizontal peak at 2.5 mm^-1 in the series'.
    grid = os.path.join(folder, "grid")
    subprocess.run(["/usr/bin/python3", GENERATOR, "--series", grid, "--rows", "768", "--cols", "768",
                    "--doses", "10", "--per-dose", "4", "--sine", "0.4"], check=True, stdout=subprocess.DEVNULL)
    grid_images = sorted(os.path.join(grid, f) for f in os.listdir(grid) if f.endswith(".dcm"))
    for i, image in enumerate(grid_images):
        one = run(["analyse", image, "-o", os.path.join(grid, f"{i}.txt")], os.path.join(grid, f"{i}.json"))
        check(one is not None and one["nps"]["peaks"] == [], f"grid image {i}: peaks {one and one['nps']['peaks']}")
    stacked = run(["series", *grid_images], os.path.join(grid, "series.json"))
    peaks = stacked["nps"]["peaks"] if stacked else []
    check(len(peaks) == 1 and peaks[0]["orientation"] == "horizontal" and
          abs(peaks[0]["frequency"] - 2.5) <= stacked["nps"]["frequency_step"],
          f"grid series: peaks {[(p['frequency'], p['orientation']) for p in peaks]}")

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("series noise power spectrum: all known answers met")
