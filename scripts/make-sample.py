#!/usr/bin/python3
"""Writes a synthetic flat-field DX image as an uncompressed DICOM file.

The image is what a detector uniformity test starts from: a homogeneous
exposure with Gaussian noise, a gentle gradient across the columns (heel
effect), a few dead (0) and hot (full-scale) pixels and one slightly darker
round blotch. Everything is derived from --seed, so the same arguments always
give the same bytes.

The same script makes the known-answer phantoms of the detector checks: a
square hot cluster (--cluster), a row or column offset by a few per cent
(--row-offset, --column-offset), a collimated rim (--rim), row- or
column-correlated noise (--row-noise, --column-noise); and series of one
detector over time (--date, --time, --detector-id, --software); and the
known answers of the noise power spectrum: a sinusoid along x (--sine,
--sine-frequency), a seam every few columns (--seam-period, --seam-offset)
and low-pass filtered noise (--lowpass).

With --series DIR it writes a dose series of one detector instead, for the
series analysis: --per-dose images at each of the --doses (air kerma in uGy
at the detector), DIR/kerma.csv naming each image's kerma, and --dark dark
images. The detector (--response):
  linear  pv = 100 + 20 K, variance 25 + 40 K + 0.16 K^2: electronic noise
          (Gaussian, SD 5), quantum noise (Gaussian with the Poisson
          variance 40 K) and a fixed 2 %% gain pattern shared by every image
          (2 %% of the signal 20 K is the structured SD 0.4 K);
  log     pv = 1000 + 300 ln(K / uGy), Gaussian noise of SD 5 and a fixed
          0.5 %% gain pattern.
With --ei-error PCT every image carries Exposure Index (0018,1411) = 100 K
off by PCT %%, Target Exposure Index 1000 and the Deviation Index. --sine
adds its sinusoid (in stored values) to every exposed image of the series.

Examples:
  /usr/bin/python3 scripts/make-sample.py --out samples/flatfield.dcm
  /usr/bin/python3 scripts/make-sample.py --clean --column-offset 2 \\
      --out /tmp/column.dcm
  /usr/bin/python3 scripts/make-sample.py --rows 4096 --cols 4096 \\
      --spacing 0.1 --bits 16 --out /tmp/big.dcm
  /usr/bin/python3 scripts/make-sample.py --rows 256 --cols 256 --bits 8 \\
      --syntax big --out /tmp/small8.dcm
  /usr/bin/python3 scripts/make-sample.py --series /tmp/series --rows 512 \\
      --cols 512 --ei-error 0

Needs Debian's pydicom and numpy (/usr/bin/python3).
"""

import argparse
import hashlib
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import (ExplicitVRBigEndian, ExplicitVRLittleEndian,
                         ImplicitVRLittleEndian, generate_uid)

DX_FOR_PROCESSING = "1.2.840.10008.5.1.4.1.1.1.1.1"
NEW_OPTIONS = ("clean", "cluster", "column_offset", "column_index", "row_offset",
               "row_index", "rim", "rim_level", "row_noise", "column_noise",
               "date", "time", "detector_id", "serial", "software",
               "gradient", "blotch_depth", "blotch_diameter", "defects",
               "mean", "noise", "exposure_index", "sine", "sine_frequency",
               "seam_period", "seam_offset", "lowpass")
SYNTAXES = {
    "explicit": ExplicitVRLittleEndian,
    "implicit": ImplicitVRLittleEndian,
    "big": ExplicitVRBigEndian,
}


def parse_args(argv):
    p = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1024,
                   help="number of rows, 1..65535 (default 1024)")
    p.add_argument("--cols", type=int, default=1024,
                   help="number of columns, 1..65535 (default 1024)")
    p.add_argument("--spacing", type=float, default=0.143,
                   help="Imager Pixel Spacing in mm, written as S\\S "
                        "(default 0.143)")
    p.add_argument("--bits", type=int, choices=(8, 16), default=16,
                   help="Bits Allocated: 16 (Bits Stored 14, High Bit 13) or "
                        "8 (Bits Stored 8, High Bit 7); default 16")
    p.add_argument("--mean", type=float, default=None,
                   help="mean signal (default 2000 for 16 bits, 128 for 8)")
    p.add_argument("--noise", type=float, default=None,
                   help="SD of the Gaussian noise (default 20 for 16 bits, "
                        "3 for 8)")
    p.add_argument("--gradient", type=float, default=0.02,
                   help="relative signal change from the first to the last "
                        "column (default 0.02, i.e. +-1%% about the mean)")
    p.add_argument("--blotch-depth", type=float, default=0.03,
                   help="relative darkening at the blotch centre "
                        "(default 0.03; 0 for none)")
    p.add_argument("--blotch-diameter", type=float, default=60.0,
                   help="blotch diameter in pixels (default 60)")
    p.add_argument("--defects", type=int, default=4,
                   help="number of dead pixels and, as many, of hot pixels "
                        "(default 4 each; 0 for none)")
    p.add_argument("--clean", action="store_true",
                   help="a clean flat field: no gradient, blotch or defects "
                        "(same as --gradient 0 --blotch-depth 0 --defects 0)")
    p.add_argument("--cluster", type=int, default=0,
                   help="side in pixels of a square cluster of hot pixels "
                        "centred at 30%% of the width and height (default 0)")
    p.add_argument("--column-offset", type=float, default=0.0,
                   help="offset of one column in %% of the mean (default 0)")
    p.add_argument("--column-index", type=int, default=None,
                   help="the offset column (default a third of the width)")
    p.add_argument("--row-offset", type=float, default=0.0,
                   help="offset of one row in %% of the mean (default 0)")
    p.add_argument("--row-index", type=int, default=None,
                   help="the offset row (default a third of the height)")
    p.add_argument("--rim", type=int, default=0,
                   help="width in pixels of a collimated rim on every side, "
                        "exposed at --rim-level of the mean (default 0)")
    p.add_argument("--rim-level", type=float, default=0.05,
                   help="signal of the rim as a fraction of the mean "
                        "(default 0.05)")
    p.add_argument("--row-noise", type=float, default=0.0,
                   help="SD of an offset shared by the pixels of each row, in "
                        "%% of the pixel noise (default 0)")
    p.add_argument("--column-noise", type=float, default=0.0,
                   help="the same for columns (default 0)")
    p.add_argument("--sine", type=float, default=0.0,
                   help="amplitude in pixel values of a sinusoid along x, "
                        "cos(2 pi f x) (default 0)")
    p.add_argument("--sine-frequency", type=float, default=2.5,
                   help="its frequency in mm^-1 (default 2.5)")
    p.add_argument("--seam-period", type=int, default=0,
                   help="a seam (a column offset by --seam-offset) every N "
                        "columns, from column 0 (default 0: none)")
    p.add_argument("--seam-offset", type=float, default=1.0,
                   help="the seams' offset in %% of the mean (default 1)")
    p.add_argument("--lowpass", action="store_true",
                   help="filter the pixel noise with the binomial kernel "
                        "[1 2 1]/4 along x and along y (circularly), whose "
                        "power transfer is cos^4(pi u dx) cos^4(pi v dy)")
    p.add_argument("--date", default="20240315",
                   help="study, series, acquisition and content date, "
                        "YYYYMMDD (default 20240315)")
    p.add_argument("--time", default="093012",
                   help="acquisition and content time, HHMMSS (default 093012)")
    p.add_argument("--detector-id", default="DET-0042",
                   help="Detector ID, 0018,700A (default DET-0042)")
    p.add_argument("--serial", default="SN-000123",
                   help="Device Serial Number, 0018,1000 (default SN-000123)")
    p.add_argument("--software", default="1.0",
                   help="Software Versions, 0018,1020 (default 1.0)")
    p.add_argument("--syntax", choices=sorted(SYNTAXES), default="explicit",
                   help="transfer syntax: explicit (Explicit VR Little "
                        "Endian, default), implicit (Implicit VR Little "
                        "Endian) or big (Explicit VR Big Endian)")
    p.add_argument("--seed", type=int, default=1,
                   help="seed of the random numbers (default 1)")
    p.add_argument("--out", help="the DICOM file to write (not with --series)")
    p.add_argument("--series", metavar="DIR",
                   help="write a dose series into DIR (created if missing) "
                        "instead of one image")
    p.add_argument("--response", choices=("linear", "log"), default="linear",
                   help="the series' detector (default linear)")
    p.add_argument("--doses", default="1,2,5,10,20,40",
                   help="the series' air kerma values in uGy, comma-separated "
                        "(default 1,2,5,10,20,40)")
    p.add_argument("--per-dose", type=int, default=2,
                   help="images at each dose (default 2)")
    p.add_argument("--dark", type=int, default=0,
                   help="dark images of the series (default 0)")
    p.add_argument("--ei-error", type=float, default=None,
                   help="write Exposure Index tags off by this many %% "
                        "(default: no Exposure Index)")
    args = p.parse_args(argv)
    args.exposure_index = None
    if (args.out is None) == (args.series is None):
        p.error("one of --out and --series is needed")
    try:
        args.dose_list = [float(d) for d in args.doses.split(",")]
    except ValueError:
        p.error("--doses must be numbers separated by commas")
    if any(d <= 0 for d in args.dose_list) or args.per_dose < 1 or args.dark < 0:
        p.error("--doses must be positive, --per-dose 1 or more, --dark 0 or more")
    for name in ("rows", "cols"):
        if not 1 <= getattr(args, name) <= 65535:
            p.error(f"--{name} must be 1..65535")
    if args.spacing <= 0:
        p.error("--spacing must be positive")
    if not (len(args.date) == 8 and args.date.isdigit()):
        p.error("--date must be YYYYMMDD")
    if not (len(args.time) == 6 and args.time.isdigit()):
        p.error("--time must be HHMMSS")
    if args.column_index is not None and not 0 <= args.column_index < args.cols:
        p.error("--column-index must be a column of the image")
    if args.row_index is not None and not 0 <= args.row_index < args.rows:
        p.error("--row-index must be a row of the image")
    if args.cluster < 0 or args.rim < 0 or 2 * args.rim >= min(args.rows, args.cols):
        p.error("--cluster and --rim must be >= 0 and the rim must leave an area")
    if args.seam_period < 0:
        p.error("--seam-period must be >= 0")
    if args.clean:
        # Only what was not given explicitly: --clean --defects 4 is a clean
        # field with hot and dead pixels.
        given = {arg.split("=")[0] for arg in argv if arg.startswith("--")}
        if "--gradient" not in given:
            args.gradient = 0.0
        if "--blotch-depth" not in given:
            args.blotch_depth = 0.0
        if "--defects" not in given:
            args.defects = 0
    return args


def make_pixels(args):
    """Returns the image as a 2-D numpy array of the stored sample type."""
    rng = np.random.default_rng(args.seed)
    bits_stored = 14 if args.bits == 16 else 8
    full_scale = (1 << bits_stored) - 1
    mean = args.mean if args.mean is not None else (2000.0 if args.bits == 16 else 128.0)
    noise = args.noise if args.noise is not None else (20.0 if args.bits == 16 else 3.0)

    rows, cols = args.rows, args.cols
    # Gradient along the columns, centred on the mean.
    ramp = np.linspace(-0.5, 0.5, cols) if cols > 1 else np.zeros(1)
    signal = np.empty((rows, cols), dtype=np.float64)
    signal[:] = mean * (1.0 + args.gradient * ramp)

    # A round blotch with a soft (cosine) edge, placed off-centre.
    if args.blotch_depth > 0 and args.blotch_diameter > 0:
        radius = args.blotch_diameter / 2.0
        cy = rows * 0.35
        cx = cols * 0.62
        y0, y1 = max(0, int(cy - radius)), min(rows, int(cy + radius) + 2)
        x0, x1 = max(0, int(cx - radius)), min(cols, int(cx + radius) + 2)
        if y0 < y1 and x0 < x1:
            yy, xx = np.mgrid[y0:y1, x0:x1]
            r = np.hypot(yy - cy, xx - cx) / radius
            shade = np.where(r < 1.0, 0.5 * (1.0 + np.cos(np.pi * r)), 0.0)
            signal[y0:y1, x0:x1] *= 1.0 - args.blotch_depth * shade

    # Line faults: one row or column offset by a fixed fraction of the mean.
    if args.column_offset:
        signal[:, args.column_index if args.column_index is not None else cols // 3] += \
            mean * args.column_offset / 100.0
    if args.row_offset:
        signal[args.row_index if args.row_index is not None else rows // 3, :] += \
            mean * args.row_offset / 100.0
    # A collimated rim: every side, rim pixels wide, barely exposed.
    if args.rim:
        inside = np.zeros((rows, cols), dtype=bool)
        inside[args.rim:rows - args.rim, args.rim:cols - args.rim] = True
        signal[~inside] = mean * args.rim_level

    pixel_noise = rng.normal(0.0, noise, size=(rows, cols))
    # Correlated line noise: an offset shared by all pixels of a row (column).
    # Drawn after the pixel noise so that the same seed keeps the same pixel
    # noise with and without it.
    if args.row_noise:
        pixel_noise += rng.normal(0.0, noise * args.row_noise / 100.0, size=(rows, 1))
    if args.column_noise:
        pixel_noise += rng.normal(0.0, noise * args.column_noise / 100.0, size=(1, cols))
    if args.lowpass:
        for axis in (0, 1):
            pixel_noise = (np.roll(pixel_noise, 1, axis) + 2.0 * pixel_noise +
                           np.roll(pixel_noise, -1, axis)) / 4.0
    signal += pixel_noise
    if args.sine:
        x = np.arange(cols) * args.spacing
        signal += args.sine * np.cos(2.0 * np.pi * args.sine_frequency * x)
    if args.seam_period:
        signal[:, ::args.seam_period] += mean * args.seam_offset / 100.0
    image = np.clip(np.rint(signal), 0, full_scale)

    # Dead and hot pixels at random places (never on the same pixel twice).
    n = min(args.defects, (rows * cols) // 2)
    if n > 0:
        places = rng.choice(rows * cols, size=2 * n, replace=False)
        flat = image.reshape(-1)
        flat[places[:n]] = 0
        flat[places[n:]] = full_scale

    # A square cluster of hot pixels.
    if args.cluster:
        y0, x0 = int(rows * 0.3), int(cols * 0.3)
        image[y0:y0 + args.cluster, x0:x0 + args.cluster] = full_scale

    dtype = np.uint16 if args.bits == 16 else np.uint8
    return image.astype(dtype), bits_stored


def make_dataset(args, pixels, bits_stored):
    syntax = SYNTAXES[args.syntax]
    entropy = ["evenor-sample", str(args.seed), str(args.rows), str(args.cols),
               str(args.bits), repr(args.spacing)]
    # Options added for the phantoms and series enter the UIDs only when they
    # are used, so that the default arguments keep giving the same bytes.
    defaults = vars(parse_args(["--out", "-"]))
    defaults["exposure_index"] = None
    entropy += [f"{key}={value!r}" for key, value in sorted(vars(args).items())
                if key in NEW_OPTIONS and value != defaults[key]]

    def uid(kind):
        return generate_uid(entropy_srcs=entropy + [kind])

    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = DX_FOR_PROCESSING
    meta.MediaStorageSOPInstanceUID = uid("sop")
    meta.TransferSyntaxUID = syntax
    meta.ImplementationClassUID = "2.25.31415926535897932384626433832795"
    meta.ImplementationVersionName = "EVENOR_SAMPLE"

    ds = Dataset()
    ds.file_meta = meta
    ds.preamble = b"\0" * 128
    ds.is_little_endian = syntax != ExplicitVRBigEndian
    ds.is_implicit_VR = syntax == ImplicitVRLittleEndian

    ds.SpecificCharacterSet = "ISO_IR 100"
    ds.ImageType = ["ORIGINAL", "PRIMARY"]
    ds.SOPClassUID = DX_FOR_PROCESSING
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.StudyDate = args.date
    ds.SeriesDate = args.date
    ds.AcquisitionDate = args.date
    ds.ContentDate = args.date
    ds.StudyTime = "093000"
    ds.SeriesTime = "093000"
    ds.AcquisitionTime = args.time
    ds.ContentTime = args.time
    ds.AccessionNumber = "QA0001"
    ds.Modality = "DX"
    ds.PresentationIntentType = "FOR PROCESSING"
    ds.Manufacturer = "Evenor Test Phantoms"
    ds.InstitutionName = "Evenor QA Laboratory"
    ds.ReferringPhysicianName = ""
    ds.StationName = "QA-ROOM-1"
    ds.StudyDescription = "Detector uniformity"
    ds.SeriesDescription = "Flat field"
    ds.ManufacturerModelName = "FlatPanel FP-43"
    ds.PatientName = "QA^FLATFIELD"
    ds.PatientID = "QA-FLATFIELD"
    ds.PatientBirthDate = ""
    ds.PatientSex = "O"
    ds.BodyPartExamined = "CHEST"
    ds.KVP = "70"
    ds.DeviceSerialNumber = args.serial
    ds.SoftwareVersions = args.software
    ds.DistanceSourceToDetector = "1500"
    ds.ExposureTime = "20"
    ds.XRayTubeCurrent = "125"
    ds.ExposureInuAs = "2500"
    ds.FilterType = "NONE"
    ds.ImagerPixelSpacing = [args.spacing, args.spacing]
    ds.DetectorID = args.detector_id
    ds.DetectorType = "SCINTILLATOR"
    ds.PatientOrientation = ""
    ds.StudyInstanceUID = uid("study")
    ds.SeriesInstanceUID = uid("series")
    ds.StudyID = "1"
    ds.SeriesNumber = "1"
    ds.InstanceNumber = "1"

    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows = args.rows
    ds.Columns = args.cols
    ds.BitsAllocated = args.bits
    ds.BitsStored = bits_stored
    ds.HighBit = bits_stored - 1
    ds.PixelRepresentation = 0
    ds.PixelIntensityRelationship = "LIN"
    ds.PixelIntensityRelationshipSign = 1
    ds.RescaleIntercept = "0"
    ds.RescaleSlope = "1"
    ds.RescaleType = "US"
    ds.LossyImageCompression = "00"
    ds.PixelData = pixels.tobytes() if ds.is_little_endian else pixels.byteswap().tobytes()
    if args.exposure_index is not None:
        ds.ExposureIndex = f"{args.exposure_index:.2f}"
        ds.TargetExposureIndex = "1000"
        ds.DeviationIndex = f"{10.0 * np.log10(args.exposure_index / 1000.0):.3f}"
    return ds


# The series detectors: (offset, signal per uGy or per ln uGy, electronic SD,
# quantum variance per uGy, gain pattern SD).
LINEAR = (100.0, 20.0, 5.0, 40.0, 0.02)
LOG = (1000.0, 300.0, 5.0, 0.0, 0.005)


def gain_pattern(rows, cols, sd):
    """A fixed gain pattern of mean 1 and SD exactly sd, the same for every
    image of a series (its own seed)."""
    pattern = np.random.default_rng(20240315).normal(0.0, 1.0, size=(rows, cols))
    pattern -= pattern.mean()
    pattern /= pattern.std()
    return 1.0 + sd * pattern


def series_pixels(args, kerma, rng, gain):
    """One image of the series detector at kerma uGy (0: dark)."""
    offset, scale, electronic, quantum, _ = LINEAR if args.response == "linear" else LOG
    shape = (args.rows, args.cols)
    if kerma <= 0:
        signal = np.full(shape, offset if args.response == "linear" else 0.0)
    elif args.response == "linear":
        signal = offset + scale * kerma * gain
        signal += rng.normal(0.0, np.sqrt(quantum * kerma), size=shape)
    else:
        signal = offset + scale * np.log(kerma) * gain
    signal = signal + rng.normal(0.0, electronic, size=shape)
    if args.sine and kerma > 0:
        # A pattern fixed in every exposed image (a stationary grid's lines).
        x = np.arange(args.cols) * args.spacing
        signal = signal + args.sine * np.cos(2.0 * np.pi * args.sine_frequency * x)
    full_scale = (1 << (14 if args.bits == 16 else 8)) - 1
    dtype = np.uint16 if args.bits == 16 else np.uint8
    return np.clip(np.rint(signal), 0, full_scale).astype(dtype)


def write_series(args):
    """Writes the series' images, its darks and kerma.csv into args.series."""
    import copy
    import os
    os.makedirs(args.series, exist_ok=True)
    gain = gain_pattern(args.rows, args.cols,
                        (LINEAR if args.response == "linear" else LOG)[4])
    bits_stored = 14 if args.bits == 16 else 8
    rows = []
    number = 0
    plan = [(k, f"k{i + 1:02d}-{j + 1}") for i, k in enumerate(args.dose_list)
            for j in range(args.per_dose)]
    plan += [(0.0, f"dark-{j + 1}") for j in range(args.dark)]
    for kerma, name in plan:
        number += 1
        image = copy.copy(args)
        image.seed = args.seed * 1000 + number
        image.out = os.path.join(args.series, name + ".dcm")
        if args.ei_error is not None and kerma > 0:
            image.exposure_index = 100.0 * kerma * (1.0 + args.ei_error / 100.0)
        pixels = series_pixels(args, kerma, np.random.default_rng(image.seed), gain)
        ds = make_dataset(image, pixels, bits_stored)
        ds.save_as(image.out, write_like_original=False)
        if kerma > 0:
            rows.append(f"{name}.dcm,{kerma:g}")
    with open(os.path.join(args.series, "kerma.csv"), "w", encoding="ascii") as f:
        f.write("file,kerma_uGy\n" + "".join(r + "\n" for r in rows))
    print(f"{args.series}: {len(plan)} images, {args.response} detector, "
          f"doses {args.doses} uGy x {args.per_dose}, {args.dark} dark")


def main(argv):
    args = parse_args(argv)
    if args.series:
        write_series(args)
        return 0
    pixels, bits_stored = make_pixels(args)
    ds = make_dataset(args, pixels, bits_stored)
    ds.save_as(args.out, write_like_original=False)
    digest = hashlib.sha256(pixels.tobytes()).hexdigest()[:16]
    print(f"{args.out}: {args.rows} x {args.cols}, {args.bits} bits, "
          f"spacing {args.spacing} mm, {args.syntax}, pixels sha256 {digest}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
