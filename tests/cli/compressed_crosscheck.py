#!/usr/bin/python3
"""Compressed images through evenor-cli against their uncompressed originals.

Flat fields from scripts/make-sample.py (8 and 16 bit, odd sizes) are
compressed by encoders that share no code with the decoders: DCMTK's dcmcjpeg,
dcmcjpls, dcmcrle and dcmconv (deflate), OpenJPEG's opj_compress wrapped with
pydicom, and pydicom's own RLE encoder; in one fragment per frame and in
several, with and without a Basic Offset Table. For every lossless one,
"analyse --decompress" must write the report, the JSON (input_file aside) and
the maps byte for byte as for the original. Lossy ones must be analysed with
the lossy warning on standard error and in the JSON. Without --decompress every
compressed file keeps its refusal, as before.

Usage: compressed_crosscheck.py --cli EVENOR_CLI --sample-generator MAKE_SAMPLE [--maps]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import pydicom
from pydicom.encaps import encapsulate
from pydicom.uid import (DeflatedExplicitVRLittleEndian, JPEG2000, JPEG2000Lossless, RLELossless)

LOSSY_WARNING = ("Lossy compressed image: noise and pixel values are altered, the result may not describe "
                 "the detector")

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL", what, flush=True)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, **kwargs)


def dcmtk(tool, options, source, target):
    result = run([tool, *options, source, target])
    if result.returncode != 0:
        sys.exit(f"{tool} failed: {result.stderr.decode(errors='replace')}")


def with_openjpeg(source, target, folder, uid, opj_options, fragments, keep_lossy_tag=True):
    """The pixels of source through opj_compress, wrapped into a copy of source
    (which says Lossy Image Compression "00"; without it unless keep_lossy_tag)."""
    ds = pydicom.dcmread(source)
    pixels = ds.pixel_array
    bits = ds.BitsAllocated
    pgm = os.path.join(folder, "frame.pgm")
    with open(pgm, "wb") as f:
        f.write(b"P5\n%d %d\n%d\n" % (ds.Columns, ds.Rows, 255 if bits == 8 else 65535))
        f.write(pixels.astype(">u2" if bits == 16 else "u1").tobytes())
    j2k = os.path.join(folder, "frame.j2k")
    result = run(["opj_compress", "-i", pgm, "-o", j2k, *opj_options])
    if result.returncode != 0:
        sys.exit("opj_compress failed: " + result.stderr.decode(errors="replace"))
    with open(j2k, "rb") as f:
        codestream = f.read()
    ds.PixelData = encapsulate([codestream], fragments_per_frame=fragments, has_bot=fragments == 1)
    ds["PixelData"].is_undefined_length = True
    ds["PixelData"].VR = "OB"
    ds.file_meta.TransferSyntaxUID = uid
    if not keep_lossy_tag:
        del ds.LossyImageCompression
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(target, write_like_original=False)


def with_pydicom_rle(source, target):
    ds = pydicom.dcmread(source)
    ds.compress(RLELossless, encoding_plugin="pydicom")
    ds.save_as(target)


def with_pydicom_deflate(source, target):
    ds = pydicom.dcmread(source)
    ds.file_meta.TransferSyntaxUID = DeflatedExplicitVRLittleEndian
    ds.save_as(target, write_like_original=False)


def analyse(cli, image, folder, maps, decompress=True):
    os.makedirs(folder, exist_ok=True)
    args = [cli, "analyse", image, "-o", os.path.join(folder, "report.txt"), "--json",
            os.path.join(folder, "result.json"), "--box-cm", "1", "--quiet"]
    if maps:
        args += ["--png", os.path.join(folder, "maps")]
    if decompress:
        args.append("--decompress")
    return run(args)


def same_outputs(reference, folder, maps):
    names = ["report.txt"] + ([os.path.join("maps", n) for n in sorted(os.listdir(os.path.join(reference, "maps")))]
                              if maps else [])
    for name in names:
        with open(os.path.join(reference, name), "rb") as a, open(os.path.join(folder, name), "rb") as b:
            if a.read() != b.read():
                return name
    with open(os.path.join(reference, "result.json")) as a, open(os.path.join(folder, "result.json")) as b:
        left, right = json.load(a), json.load(b)
    left.pop("input_file", None)
    right.pop("input_file", None)
    return None if left == right else "result.json"


def batch_and_history(cli, work, bits, original, lossless, lossy):
    """A batch with --decompress analyses the compressed images like the
    original (summary rows equal but for the file); without it they are error
    rows. The history record of a lossy image carries the warning."""
    folder = os.path.join(work, f"batch{bits}")
    os.makedirs(folder)
    for name, source in (("a-original.dcm", original), ("b-lossless.dcm", lossless), ("c-lossy.dcm", lossy)):
        shutil.copy(source, os.path.join(folder, name))
    rows = {}
    for decompress in (False, True):
        out = os.path.join(work, f"batch{bits}-out-{decompress}")
        command = [cli, "analyse", folder, "--out-dir", out, "--box-cm", "1", "--quiet", "--jobs", "2"]
        result = run(command + (["--decompress"] if decompress else []))
        with open(os.path.join(out, "summary.csv")) as f:
            rows[decompress] = f.read().splitlines()
        check(result.returncode == (0 if decompress else 1), f"{bits}-bit batch decompress={decompress}: exit")
    refused, decoded = rows[False], rows[True]
    check(len(refused) == 4 and len(decoded) == 4, f"{bits}-bit batch: four rows each")
    check("Cannot open compressed DICOM images" in refused[2] and "Cannot open compressed" in refused[3],
          f"{bits}-bit batch without --decompress: error rows")
    check(decoded[2].replace("b-lossless.dcm", "a-original.dcm") == decoded[1] == refused[1],
          f"{bits}-bit batch: the lossless row equals the original's")
    check(all(f"{folder}/{n}" in decoded[1 + i] or n in decoded[1 + i]
              for i, n in enumerate(("a-original.dcm", "b-lossless.dcm", "c-lossy.dcm"))),
          f"{bits}-bit batch: rows in order")

    db = os.path.join(work, f"history{bits}.sqlite")
    for image in (lossy, original):
        result = run([cli, "analyse", image, "-o", os.path.join(work, "record.txt"), "--box-cm", "1", "--quiet",
                      "--decompress", "--record", "--db", db])
        check(result.returncode == 0, f"{bits}-bit record: {result.stderr!r}")
    listing = run([cli, "history", "--db", db, "--json"])
    records = json.loads(listing.stdout)["records"] if listing.returncode == 0 else []
    check(len(records) == 2, f"{bits}-bit history: two records")
    if len(records) == 2:
        warned = [LOSSY_WARNING in record["details"].get("warnings", []) for record in records]
        check(sorted(warned) == [False, True], f"{bits}-bit history: the lossy record carries the warning {warned}")


def signed_images(cli, work, source, maps):
    """Signed samples (Pixel Representation 1), 16 and 12 bits stored, through
    the lossless encoders: the same outputs as the uncompressed file."""
    ds = pydicom.dcmread(source)
    values = ds.pixel_array.astype(np.int32)
    for stored in (16, 12):
        signed = (values - int(values.mean())).clip(-(1 << (stored - 1)), (1 << (stored - 1)) - 1).astype(np.int16)
        original = os.path.join(work, f"signed{stored}.dcm")
        copy = pydicom.dcmread(source)
        copy.PixelRepresentation = 1
        copy.BitsStored, copy.HighBit = stored, stored - 1
        copy.PixelData = signed.tobytes()
        copy.save_as(original)
        reference = os.path.join(work, f"signed{stored}-reference")
        check(analyse(cli, original, reference, maps, decompress=False).returncode == 0, f"signed {stored}: original")
        for name, tool, options in (("jpeg", "dcmcjpeg", ["+e1"]), ("jpeg-ls", "dcmcjpls", []), ("rle", "dcmcrle", [])):
            image = os.path.join(work, f"signed{stored}-{name}.dcm")
            dcmtk(tool, options, original, image)
            folder = os.path.join(work, f"signed{stored}-{name}")
            result = analyse(cli, image, folder, maps)
            check(result.returncode == 0, f"signed {stored} {name}: analysed ({result.stderr!r})")
            if result.returncode == 0:
                differing = same_outputs(reference, folder, maps)
                check(differing is None, f"signed {stored} {name}: {differing} differs from the original's")
        print("ok" if not failures else "..", f"signed {stored} bits stored", flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cli", required=True)
    p.add_argument("--sample-generator", required=True)
    p.add_argument("--maps", action="store_true", help="compare the PNG maps too")
    args = p.parse_args()

    work = tempfile.mkdtemp(prefix="evenor-compressed-")
    try:
        for bits, rows, cols in ((16, 301, 257), (8, 203, 311)):
            original = os.path.join(work, f"flat{bits}.dcm")
            subprocess.run([sys.executable, args.sample_generator, "--rows", str(rows), "--cols", str(cols),
                            "--bits", str(bits), "--spacing", "0.1", "--seed", str(bits), "--out", original],
                           check=True, capture_output=True)
            reference = os.path.join(work, f"reference{bits}")
            result = analyse(args.cli, original, reference, args.maps, decompress=False)
            check(result.returncode == 0, f"{bits}-bit original analysed: {result.stderr!r}")

            def path(name):
                return os.path.join(work, f"{name}{bits}.dcm")

            lossless = {
                "jpeg-lossless-sv1": lambda t: dcmtk("dcmcjpeg", ["+e1"], original, t),
                "jpeg-lossless-57": lambda t: dcmtk("dcmcjpeg", ["+el"], original, t),
                "jpeg-lossless-fragments": lambda t: dcmtk("dcmcjpeg", ["+e1", "+fs", "8"], original, t),
                "jpeg-lossless-fragments-no-bot": lambda t: dcmtk("dcmcjpeg", ["+e1", "+fs", "8", "-ot"], original, t),
                "jpeg-ls": lambda t: dcmtk("dcmcjpls", ["+el"], original, t),
                "jpeg-ls-fragments": lambda t: dcmtk("dcmcjpls", ["+el", "+fs", "8"], original, t),
                "rle-dcmtk": lambda t: dcmtk("dcmcrle", [], original, t),
                "rle-pydicom": lambda t: with_pydicom_rle(original, t),
                "deflate-dcmtk": lambda t: dcmtk("dcmconv", ["+td"], original, t),
                "deflate-pydicom": lambda t: with_pydicom_deflate(original, t),
                "j2k-lossless": lambda t: with_openjpeg(original, t, work, JPEG2000Lossless, [], 1),
                "j2k-lossless-fragments": lambda t: with_openjpeg(original, t, work, JPEG2000Lossless, [], 3),
                "j2k-91-reversible": lambda t: with_openjpeg(original, t, work, JPEG2000, [], 1),
            }
            lossy = {
                "jpeg-baseline": lambda t: dcmtk("dcmcjpeg", ["+eb"], original, t),
                "jpeg-ls-near": lambda t: dcmtk("dcmcjpls", ["+en"], original, t),
                "j2k-irreversible": lambda t: with_openjpeg(original, t, work, JPEG2000, ["-I", "-r", "20"], 1),
                # Reversible, but cut to a rate: lossy, and neither the codestream's
                # header nor the file says so.
                "j2k-91-reversible-cut": lambda t: with_openjpeg(original, t, work, JPEG2000, ["-r", "10"], 1,
                                                                 keep_lossy_tag=False),
            }
            if bits == 16:
                lossy["jpeg-extended"] = lambda t: dcmtk("dcmcjpeg", ["+ee"], original, t)

            for name, make in {**lossless, **lossy}.items():
                image = path(name)
                make(image)
                label = f"{bits}-bit {name}"
                syntax = str(pydicom.dcmread(image, stop_before_pixels=True).file_meta.TransferSyntaxUID)

                # Without --decompress: the refusal as before.
                refused = analyse(args.cli, image, os.path.join(work, f"refused-{name}{bits}"), False, False)
                check(refused.returncode == 1, f"{label}: refused without --decompress")
                if "1.2.4" in syntax or "1.2.5" in syntax:
                    check(refused.stderr == f"Cannot open compressed DICOM images. Transfer Syntax UID = "
                          f"{syntax}\n".encode(), f"{label}: refusal message {refused.stderr!r}")
                tags = run([args.cli, "tags", image, "--decompress"])
                check(tags.returncode == 0 and b"7FE00010" in tags.stdout, f"{label}: tags --decompress")

                folder = os.path.join(work, f"out-{name}{bits}")
                result = analyse(args.cli, image, folder, args.maps)
                check(result.returncode == 0, f"{label}: analysed ({result.stderr!r})")
                if result.returncode != 0:
                    continue
                with open(os.path.join(folder, "result.json")) as f:
                    warnings = json.load(f)["warnings"]
                warned = f"Warning: {LOSSY_WARNING}\n".encode() in result.stderr
                if name in lossless:
                    differing = same_outputs(reference, folder, args.maps)
                    check(differing is None, f"{label}: {differing} differs from the original's")
                    check(not warned and LOSSY_WARNING not in warnings, f"{label}: no lossy warning")
                else:
                    check(warned and LOSSY_WARNING in warnings, f"{label}: lossy warning ({result.stderr!r})")
                print("ok" if not failures else "..", label, flush=True)

            batch_and_history(args.cli, work, bits, original, path("jpeg-ls"), path("jpeg-baseline"))

        signed_images(args.cli, work, os.path.join(work, "flat16.dcm"), args.maps)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} failures", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
