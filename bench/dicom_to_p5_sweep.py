#!/usr/bin/python3
"""kuvra_dicom_to_P5 over every DICOM file of other writers on the machine.

Usage: bench/dicom_to_p5_sweep.py [BUILD_DIR] [-v]

Files: everything under pydicom's data directory (python3-pydicom), and the
examples of libgdcm and dicom3tools.  Each file is converted (timeout 20 s)
and, when the program writes an image, its samples are compared with the
first frame as three other decoders give it: GDCM (gdcmconv --raw), DCMTK
(dcmconv +te, dcmdjpeg, dcmdjpls, dcmdrle), each written as a native
file, read by pydicom and turned into PNM samples the way the program
documents it (stored bits, signed values offset, YBR to RGB as pydicom
converts it).  Counts: exact (equal to at least one reference), unverified (no
reference could decode it), wrong (differs from every reference), refused
(status 1 and a message), crash (a signal or another status), hang.
-v prints one line per file.
"""

import math
import os
import subprocess
import sys
import tempfile
import warnings

import pydicom
import pydicom.data

warnings.simplefilter("ignore")

ROOTS = [os.path.dirname(pydicom.data.get_testdata_file("MR_small.dcm")),
         os.path.dirname(os.path.dirname(pydicom.data.get_testdata_file("MR_small.dcm"))),
         "/usr/share/doc/libgdcm3.0/examples", "/usr/share/doc/libgdcm-tools/examples",
         "/usr/share/doc/dicom3tools/examples"]


def candidates():
    seen = set()
    for root in ROOTS:
        for r, dirs, names in os.walk(root):
            dirs.sort()
            for n in sorted(names):
                p = os.path.realpath(os.path.join(r, n))
                if n.endswith((".py", ".pyc")) or p in seen or not os.path.isfile(p):
                    continue
                seen.add(p)
                yield p


def clip(v, top):
    return 0 if v < 0 else top if v > top else v


def samples(ref, orig):
    """PNM samples (bytes) of the first frame of native file ref, as the
    program writes them; the bit layout is the original's (a decoder may
    rewrite PixelRepresentation), the colour model the decoded file's."""
    alloc = int(orig.BitsAllocated)
    stored = int(orig.get("BitsStored", alloc))
    high = int(orig.get("HighBit", stored - 1))
    sign = int(orig.get("PixelRepresentation", 0))
    rows, cols = int(orig.Rows), int(orig.Columns)
    spp = int(ref.get("SamplesPerPixel", 1))
    pi = str(ref.get("PhotometricInterpretation", "")).strip()
    planar = int(ref.get("PlanarConfiguration", 0) or 0)
    if alloc not in (8, 16) or int(ref.get("BitsAllocated", alloc)) != alloc:
        return None
    nb = alloc // 8
    n = rows * cols
    per_pixel = 2 if pi == "YBR_FULL_422" else spp
    raw = bytes(ref.PixelData[:n * per_pixel * nb])
    if len(raw) < n * per_pixel * nb:
        return None
    units = raw if nb == 1 else [raw[i] | raw[i + 1] << 8 for i in range(0, len(raw), 2)]
    mask, shift, half = (1 << stored) - 1, high + 1 - stored, 1 << (stored - 1)

    def sv(u):
        v = (u >> shift) & mask
        return (v + half) & mask if sign else v

    out = []
    if spp == 1:
        out = [sv(u) for u in units]
    elif pi == "YBR_FULL_422" or pi == "YBR_FULL":
        for p in range(n):
            if pi == "YBR_FULL_422":
                q = p // 2 * 4
                y, cb, cr = sv(units[q + p % 2]), sv(units[q + 2]), sv(units[q + 3])
            elif planar:
                y, cb, cr = sv(units[p]), sv(units[n + p]), sv(units[2 * n + p])
            else:
                y, cb, cr = sv(units[3 * p]), sv(units[3 * p + 1]), sv(units[3 * p + 2])
            cb -= half
            cr -= half
            rgb = (y + 1.402 * cr, y - 0.114 * 1.772 / 0.587 * cb - 0.299 * 1.402 / 0.587 * cr,
                   y + 1.772 * cb)
            out += [clip(int(math.floor(c + 0.5)), mask) for c in rgb]
    elif pi == "RGB":
        for p in range(n):
            for c in range(3):
                out.append(sv(units[c * n + p] if planar else units[3 * p + c]))
    else:
        return None
    if stored > 8:
        return b"".join(bytes((v >> 8, v & 0xFF)) for v in out)
    return bytes(out)


def references(path, work):
    """(name, decoded native data set) from each decoder that manages."""
    out = []
    jobs = [("gdcm", ["gdcmconv", "--raw", path]), ("dcmtk", ["dcmconv", "+te", path]),
            ("dcmtk-jpeg", ["dcmdjpeg", path]), ("dcmtk-jpls", ["dcmdjpls", path]),
            ("dcmtk-rle", ["dcmdrle", path])]
    for name, cmd in jobs:
        dst = os.path.join(work, name + ".dcm")
        try:
            r = subprocess.run(cmd + [dst], capture_output=True, timeout=60)
            if r.returncode != 0 or not os.path.exists(dst):
                continue
            ds = pydicom.dcmread(dst, force=True)
            ts = str(getattr(getattr(ds, "file_meta", None), "TransferSyntaxUID", ""))
            if ts != "1.2.840.10008.1.2.1" and not (ts == "1.2.840.10008.1.2" and name == "gdcm"):
                continue
            if "PixelData" in ds:
                out.append((name, ds))
        except Exception:
            continue
        finally:
            if os.path.exists(dst):
                os.unlink(dst)
    return out


def parse_pnm(data):
    """The samples of a P5/P6 image: what follows the one white-space byte
    after the fourth header field."""
    at = 0
    for _ in range(4):
        while at < len(data) and data[at:at + 1].isspace():
            at += 1
        while at < len(data) and not data[at:at + 1].isspace():
            at += 1
    return data[at + 1:]


def main():
    args = [a for a in sys.argv[1:] if a != "-v"]
    verbose = "-v" in sys.argv[1:]
    build = os.path.abspath(args[0] if args else "build")
    prog = os.path.join(build, "bin", "kuvra_dicom_to_P5")
    counts = {k: 0 for k in ("exact", "unverified", "wrong", "refused", "crash", "hang")}
    j2k_exact = 0
    lines = []
    files = list(candidates())
    with tempfile.TemporaryDirectory(prefix="kuvra_sweep_") as work:
        for path in files:
            try:
                r = subprocess.run([prog, path], capture_output=True, timeout=20)
            except subprocess.TimeoutExpired:
                counts["hang"] += 1
                lines.append("hang       %s" % path)
                continue
            err = r.stderr.decode(errors="replace").strip()
            if r.returncode == 1 and not r.stdout and err.startswith("kuvra_dicom_to_P5: "):
                counts["refused"] += 1
                lines.append("refused    %s: %s" % (path, err[19:]))
                continue
            if r.returncode != 0:
                counts["crash"] += 1
                lines.append("crash      %s: status %d %s" % (path, r.returncode, err))
                continue
            got = parse_pnm(r.stdout)
            orig = pydicom.dcmread(path, force=True, stop_before_pixels=True)
            refs = references(path, work)
            matched = []
            for name, ref in refs:
                try:
                    want = samples(ref, orig)
                except Exception:
                    want = None
                if want is not None and want == got:
                    matched.append(name)
            if matched:
                counts["exact"] += 1
                ts = str(getattr(getattr(orig, "file_meta", None), "TransferSyntaxUID", ""))
                j2k_exact += ts in ("1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91")
                lines.append("exact      %s (%s)" % (path, ", ".join(matched)))
            elif refs:
                counts["wrong"] += 1
                lines.append("wrong      %s (references: %s)" % (path, ", ".join(n for n, _ in refs)))
            else:
                counts["unverified"] += 1
                lines.append("unverified %s" % path)
    if verbose:
        print("\n".join(lines))
    print("%d files: %s; %d of the exact ones JPEG 2000" %
          (len(files), ", ".join("%s %d" % kv for kv in counts.items()), j2k_exact))
    return 1 if counts["wrong"] or counts["crash"] or counts["hang"] else 0


if __name__ == "__main__":
    sys.exit(main())
