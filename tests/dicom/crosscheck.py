#!/usr/bin/python3
"""Cross-checks the DICOM reader against pydicom and DCMTK.

pydicom writes a set of small images (16 and 8 bits, several spacing
elements, an icon image sequence and other sequences); DCMTK's dcmconv
transcodes each of them (explicit and implicit little endian, explicit big
endian, explicit and undefined sequence lengths, a bare data set), and
dcmcrle, dcmcjpeg and dcmcjpls compress them. For every uncompressed file the
reader's Rows, Columns, PixelSpacing, Bits Allocated and loaded pixel values
must agree with what pydicom reports for the original; every compressed file
must be refused with the exact message.

Usage: crosscheck.py --probe PATH/TO/dicom_probe [--sample-generator PATH]
Fails (exit 1) on any difference, and when a tool is missing.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian

TOOLS = ["dcmconv", "dcmcrle", "dcmcjpeg", "dcmcjpls"]
SC_IMAGE = "1.2.840.10008.5.1.4.1.1.7"

# dcmconv variants: name, options, big endian, has preamble.
VARIANTS = [
    ("te", ["+te"], False, True),
    ("te-undef", ["+te", "-e"], False, True),
    ("ti", ["+ti"], False, True),
    ("ti-undef", ["+ti", "-e"], False, True),
    ("tb", ["+tb"], True, True),
    ("tb-undef", ["+tb", "-e"], True, True),
    ("bare-ti", ["-F", "+ti"], False, False),
]

# Compressors: name, command, applies to 8 bits, applies to 16 bits.
COMPRESSORS = [
    ("rle", ["dcmcrle"], True, True),
    ("jpeg-lossless", ["dcmcjpeg", "+e1"], True, True),
    ("jpeg-baseline", ["dcmcjpeg", "+eb"], True, False),
    ("jpeg-ls", ["dcmcjpls"], True, True),
]


def base_dataset(rows, cols, bits, values):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = SC_IMAGE
    meta.MediaStorageSOPInstanceUID = "2.25.1234567890"
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.preamble = b"\0" * 128
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SOPClassUID = SC_IMAGE
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = "OT"
    ds.PatientName = "QA^CROSSCHECK"
    ds.PatientID = "QA-CC"
    ds.StudyInstanceUID = "2.25.11"
    ds.SeriesInstanceUID = "2.25.12"
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows = rows
    ds.Columns = cols
    ds.BitsAllocated = bits
    ds.BitsStored = bits
    ds.HighBit = bits - 1
    ds.PixelRepresentation = 0
    dtype = np.uint16 if bits == 16 else np.uint8
    ds.PixelData = np.asarray(values, dtype=dtype).reshape(rows, cols).tobytes()
    return ds


def icon_item():
    icon = Dataset()
    icon.SamplesPerPixel = 1
    icon.PhotometricInterpretation = "MONOCHROME2"
    icon.Rows = 8
    icon.Columns = 8
    icon.BitsAllocated = 8
    icon.BitsStored = 8
    icon.HighBit = 7
    icon.PixelRepresentation = 0
    icon.PixelData = bytes(range(64))
    return icon


def source_images(rng):
    """Name -> dataset of the images pydicom writes."""
    images = {}

    ds = base_dataset(30, 40, 16, rng.integers(0, 65536, 30 * 40))
    ds.PixelSpacing = ["0.25", "0.3"]
    images["ps-only-16"] = ds

    ds = base_dataset(20, 20, 8, rng.integers(0, 256, 400))
    ds.DetectorElementSpacing = ["0.175", "0.175"]
    ds.PixelSpacing = ["0.2", "0.2"]
    images["des-then-ps-8"] = ds

    ds = base_dataset(10, 11, 16, rng.integers(0, 4096, 110))
    ds.BitsStored = 12
    ds.HighBit = 11
    ds.DetectorElementSpacing = ["0.05", "0.05"]
    images["des-only-12of16"] = ds

    ds = base_dataset(32, 32, 16, rng.integers(1500, 2500, 1024))
    ds.ImagerPixelSpacing = ["0.143", "0.143"]
    ds.PixelSpacing = ["0.16", "0.16"]
    ref = Dataset()
    ref.ReferencedSOPClassUID = SC_IMAGE
    ref.ReferencedSOPInstanceUID = "2.25.99"
    ds.ReferencedImageSequence = Sequence([ref, ref])
    code = Dataset()
    code.CodeValue = "113076"
    code.CodingSchemeDesignator = "DCM"
    code.CodeMeaning = "Segmentation"
    source = Dataset()
    source.ReferencedSOPClassUID = SC_IMAGE
    source.ReferencedSOPInstanceUID = "2.25.98"
    source.PurposeOfReferenceCodeSequence = Sequence([code])
    ds.SourceImageSequence = Sequence([source])
    ds.IconImageSequence = Sequence([icon_item()])
    images["icon-and-sequences-16"] = ds

    ds = base_dataset(17, 33, 8, rng.integers(0, 256, 17 * 33))
    ds.IconImageSequence = Sequence([icon_item()])
    images["icon-no-spacing-8"] = ds
    return images


def expected_geometry(ds):
    """What the reader must report, from pydicom's view of the data set."""
    if "ImagerPixelSpacing" in ds:
        spacing = float(ds.ImagerPixelSpacing[0])
    elif "PixelSpacing" in ds:  # (0028,0030) comes after (0018,7022)
        spacing = float(ds.PixelSpacing[0])
    elif "DetectorElementSpacing" in ds:
        spacing = float(ds.DetectorElementSpacing[0])
    else:
        spacing = 0.0
    return {
        "rows": int(ds.Rows),
        "columns": int(ds.Columns),
        "spacing": spacing,
        "bits": int(ds.BitsAllocated) & 0xFF,
        "pixels": ds.pixel_array.astype(np.uint16).ravel(),
    }


def raw_transfer_syntax(path):
    """The Transfer Syntax UID bytes exactly as stored in the file meta group."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[128:132] == b"DICM", path
    pos = 132
    while pos + 8 <= len(data):
        group, element = struct.unpack_from("<HH", data, pos)
        if group != 2:
            break
        vr = data[pos + 4:pos + 6]
        if vr in (b"OB", b"OW", b"SQ", b"UN", b"UT", b"UC", b"UR", b"OD", b"OF", b"OL", b"OV"):
            length = struct.unpack_from("<I", data, pos + 8)[0]
            start = pos + 12
        else:
            length = struct.unpack_from("<H", data, pos + 6)[0]
            start = pos + 8
        if element == 0x0010:
            return data[start:start + length]
        pos = start + length
    raise AssertionError(f"{path}: no Transfer Syntax UID")


def probe(probe_path, path, dump):
    result = subprocess.run([probe_path, path, dump], capture_output=True, timeout=60)
    fields = {}
    for line in result.stdout.split(b"\n"):
        if line.startswith(b"error "):
            fields["error"] = line[len(b"error "):]
        elif line:
            key, _, value = line.partition(b" ")
            fields[key.decode()] = value.decode()
    return result.returncode, fields


def run(cmd):
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(cmd)} failed: {result.stderr.strip()}")


class Checker:
    def __init__(self, probe_path, workdir):
        self.probe_path = probe_path
        self.workdir = workdir
        self.failures = []
        self.checked = 0

    def fail(self, name, text):
        self.failures.append(f"{name}: {text}")

    def check_read(self, name, path, expected, big_endian, preamble):
        self.checked += 1
        dump = os.path.join(self.workdir, "pixels.bin")
        code, got = probe(self.probe_path, path, dump)
        if code != 0:
            self.fail(name, f"reader failed: {got.get('error', b'?')!r}")
            return
        for key in ("rows", "columns", "bits"):
            if int(got[key]) != expected[key]:
                self.fail(name, f"{key} {got[key]} != {expected[key]}")
        if float(got["spacing"]) != expected["spacing"]:
            self.fail(name, f"spacing {got['spacing']} != {expected['spacing']}")
        if int(got["bigendian"]) != int(big_endian):
            self.fail(name, f"bigendian {got['bigendian']}")
        if int(got["preamble"]) != int(preamble):
            self.fail(name, f"preamble {got['preamble']}")
        pixels = np.fromfile(dump, dtype="<u2")
        if pixels.shape != expected["pixels"].shape or not np.array_equal(pixels, expected["pixels"]):
            self.fail(name, f"pixel values differ ({pixels.size} loaded, {expected['pixels'].size} expected)")

    def check_refused(self, name, path):
        self.checked += 1
        uid = raw_transfer_syntax(path)
        want = b"Cannot open compressed DICOM images. Transfer Syntax UID = " + uid
        code, got = probe(self.probe_path, path, os.path.join(self.workdir, "pixels.bin"))
        if code != 1 or got.get("error") != want:
            self.fail(name, f"expected refusal {want!r}, got code {code} {got.get('error')!r}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--sample-generator", default=None,
                        help="scripts/make-sample.py; its images are checked too")
    args = parser.parse_args(argv)

    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        print(f"FAIL: missing tools: {', '.join(missing)} (install dcmtk)")
        return 1

    rng = np.random.default_rng(20240315)
    with tempfile.TemporaryDirectory(prefix="evenor-crosscheck-") as work:
        checker = Checker(args.probe, work)
        sources = {}
        for name, ds in source_images(rng).items():
            path = os.path.join(work, name + ".dcm")
            ds.save_as(path, write_like_original=False)
            sources[name] = path
        if args.sample_generator:
            for name, opts in (("sample-16", ["--rows", "48", "--cols", "64", "--spacing", "0.1"]),
                               ("sample-8", ["--rows", "21", "--cols", "37", "--bits", "8",
                                             "--spacing", "0.2"])):
                path = os.path.join(work, name + ".dcm")
                run([sys.executable, args.sample_generator, *opts, "--out", path])
                sources[name] = path

        for name, path in sources.items():
            original = pydicom.dcmread(path)
            expected = expected_geometry(original)
            checker.check_read(name, path, expected, False, True)

            for variant, options, big, preamble in VARIANTS:
                out = os.path.join(work, f"{name}.{variant}.dcm")
                run(["dcmconv", *options, path, out])
                # The transcoded file must hold the same image for pydicom too.
                reread = pydicom.dcmread(out, force=not preamble)
                if not preamble:  # a bare data set says nothing of its syntax
                    reread.file_meta = FileMetaDataset()
                    reread.file_meta.TransferSyntaxUID = ImplicitVRLittleEndian
                again = expected_geometry(reread)
                if not np.array_equal(again["pixels"], expected["pixels"]):
                    checker.fail(f"{name}.{variant}", "dcmconv changed the pixels")
                checker.check_read(f"{name}.{variant}", out, expected, big, preamble)

            bits = int(original.BitsAllocated)
            for compressor, command, for8, for16 in COMPRESSORS:
                if (bits == 8 and not for8) or (bits == 16 and not for16):
                    continue
                out = os.path.join(work, f"{name}.{compressor}.dcm")
                run([*command, path, out])
                checker.check_refused(f"{name}.{compressor}", out)

    for line in checker.failures:
        print("FAIL:", line)
    print(f"{checker.checked} files checked, {len(checker.failures)} differences")
    return 1 if checker.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
