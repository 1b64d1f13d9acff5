"""Known answers of evenor-cli analyse --nps on fields from the sample
generator, and the C++ spectrum against the numpy reference of the same method.

Usage: known_answers.py EVENOR_CLI MAKE_SAMPLE
"""

import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import pydicom

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nps_reference  # noqa: E402

CLI, MAKE_SAMPLE = sys.argv[1], sys.argv[2]
SPACING, MEAN, SIGMA = 0.1, 2000.0, 20.0
BIN = 1.0 / (256 * SPACING)
failures = []


def check(condition, text):
    print(("ok:   " if condition else "FAIL: ") + text)
    if not condition:
        failures.append(text)


def field(folder, name, size, *options):
    path = os.path.join(folder, name + ".dcm")
    subprocess.run(["/usr/bin/python3", MAKE_SAMPLE, "--clean", "--rows", str(size), "--cols", str(size),
                    "--spacing", str(SPACING), "--mean", str(MEAN), "--noise", str(SIGMA), "--out", path,
                    *options], check=True, stdout=subprocess.DEVNULL)
    result = os.path.join(folder, name + ".json")
    subprocess.run([CLI, "analyse", path, "-o", os.path.join(folder, name + ".txt"), "--json", result, "--nps",
                    "-q"], check=True, stderr=subprocess.DEVNULL)
    with open(result, encoding="utf-8") as f:
        return path, json.load(f)["nps"]


def smoothed(values, width):
    """Mean of each value with its neighbours, width on each side (fewer at the ends)."""
    values = np.asarray(values)
    return np.array([values[max(0, i - width):i + width + 1].mean() for i in range(len(values))])


def main():
    # Quantisation to whole values adds 1/12 to the noise variance.
    white = (SIGMA ** 2 + 1.0 / 12.0) * SPACING ** 2 / MEAN ** 2
    with tempfile.TemporaryDirectory() as folder:
        # White noise: a flat NNPS of sigma^2 dx^2 / m^2 within 3 % at every
        # frequency. Over 961 ROIs a single value of a cut scatters by ~1.3 %;
        # the mean of 5 neighbouring values by ~0.6 %.
        path, nps = field(folder, "white", 4096)
        check(nps["rois"] == 961, f"white: {nps['rois']} ROIs")
        check(nps["values"] == "stored values", "white: the values are the stored values")
        for name in ("horizontal", "vertical"):
            worst = np.max(np.abs(smoothed(nps[name], 2) / white - 1.0))
            check(worst < 0.03, f"white: {name} off by {worst:.3%}")
        worst = np.max(np.abs(smoothed(nps["radial"][1:], 2) / white - 1.0))
        check(worst < 0.03, f"white: radial off by {worst:.3%}")
        check(nps["peaks"] == [] and nps["verdict"] == "no periodic pattern", f"white: peaks {nps['peaks']}")
        check([m["frequency"] for m in nps["metrics"]] == [0.5, 1.0, 2.0, 4.0], "white: metric frequencies")

        # The C++ spectrum against the numpy reference of the same field.
        image = pydicom.dcmread(path).pixel_array
        nnps, mean, rois = nps_reference.nnps_2d(image, SPACING)
        reference = nps_reference.curves(nnps, SPACING)
        check(rois == nps["rois"] and abs(mean / nps["mean"] - 1.0) < 1e-12, "reference: the same ROIs and mean")
        for name, values in zip(("frequencies", "horizontal", "vertical", "radial"), reference):
            worst = np.max(np.abs(np.asarray(nps[name]) / values - 1.0))
            check(worst < 1e-9, f"reference: {name} differs by {worst:.3g}")

        # Periodic patterns: one peak per planted frequency, of the right
        # orientation, and nothing else.
        cases = [
            ("sine at 2.5", ["--sine", "5"], [2.5]),
            ("sine between bins", ["--sine", "5", "--sine-frequency", "1.71"], [1.71]),
            ("seams every 8 columns", ["--seam-period", "8"], [k / (8 * SPACING) for k in (1, 2, 3, 4)]),
        ]
        for name, options, frequencies in cases:
            _, nps = field(folder, "pattern", 2048, *options)
            peaks = nps["peaks"]
            check(nps["verdict"] == "periodic pattern", f"{name}: verdict {nps['verdict']}")
            found = sorted(peak["frequency"] for peak in peaks)
            check(len(found) == len(frequencies) and
                  all(abs(f - e) <= BIN for f, e in zip(found, sorted(frequencies))),
                  f"{name}: peaks at {found}, expected {frequencies}")
            check(all(peak["orientation"] == "horizontal" for peak in peaks), f"{name}: orientations")
            for peak in peaks:
                check(abs(peak["period_pixels"] - 1.0 / (peak["frequency"] * SPACING)) < 1e-9, f"{name}: period")

        # Low-pass filtered noise: [1 2 1]/4 along x and y gives
        # cos^4(pi u dx) cos^4(pi v dy); the horizontal cut averages the
        # lines v = +-1 .. +-7 bins. Within 5 % below half Nyquist.
        _, nps = field(folder, "lowpass", 4096, "--lowpass")
        f = np.asarray(nps["frequencies"])
        lines = np.concatenate([np.arange(1, 8), -np.arange(1, 8)]) * BIN
        beside = np.mean(np.cos(np.pi * lines * SPACING) ** 4)
        expected = SIGMA ** 2 * SPACING ** 2 / MEAN ** 2 * np.cos(np.pi * f * SPACING) ** 4 * beside
        below = f <= 0.25 / SPACING
        for name in ("horizontal", "vertical"):
            ratio = smoothed(nps[name], 1)[below] / smoothed(expected, 1)[below]
            worst = np.max(np.abs(ratio - 1.0))
            check(worst < 0.05, f"low-pass: {name} off by {worst:.3%}")
        check(nps["peaks"] == [], f"low-pass: peaks {nps['peaks']}")
    print("failures: %d" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
