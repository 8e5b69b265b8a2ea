#!/usr/bin/python3
"""Feature comparison of kuvra_ppmtodicom with DCMTK's img2dcm and GDCM's gdcmimg.

Usage: bench/compare_peers.py [BUILD_DIR]

Runs a fixed list of scenarios (input kinds, metadata, joining a study,
a batch, messages) through the three programs in a temporary directory and
prints a Markdown table: one row per scenario, one column per program, each
cell what happened there, as measured with dcmdump, dcm2pnm and dciodvfy.
kuvra_ppmtodicom is BUILD_DIR/bin's (default build), run by its absolute
path; the peers are taken from PATH.  A measurement, not a test: nothing
here fails on a result.
"""

import datetime
import gzip
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
KUVRA = os.path.abspath(os.path.join(BUILD, "bin", "kuvra_ppmtodicom"))
TOOLS = ("kuvra_ppmtodicom", "img2dcm", "gdcmimg")
NO = "no option"
# kuvra's log prefix: time of day, category, severity mask.
LOG_PREFIX = re.compile(r"^\d+\.\d{6}: ?\s*\d+ [0-9a-f]{8}:")


def run(argv, **kw):
    p = subprocess.run(argv, capture_output=True, text=True, errors="replace", **kw)
    return p.returncode, p.stdout, p.stderr


def status(rc):
    return f"killed by {signal.Signals(-rc).name}" if rc < 0 else f"status {rc}"


def plural(n, word):
    return f"{n} {word}" + ("" if n == 1 else "s")


def lines(text, keep=2, width=130):
    got = [LOG_PREFIX.sub("", s).strip() for s in text.splitlines() if s.strip()]
    got = [s if len(s) <= width else s[: width - 3] + "..." for s in got]
    return " / ".join(got[:keep]) + (f" (+{len(got) - keep} lines)" if len(got) > keep else "")


def convert(tool, src, out, args=()):
    """One export with the tool's own command line; returns (status, stderr)."""
    argv = {
        "kuvra_ppmtodicom": [KUVRA, "-d", "secondary_capture", *args, "-o", out, src],
        "img2dcm": ["img2dcm", *args, src, out],
        "gdcmimg": ["gdcmimg", *args, "-i", src, "-o", out],
    }[tool]
    rc, _, err = run(argv)
    return rc, err


def attrs(path, *keys):
    """Values of attributes named by keyword or as gggg,eeee, as dcmdump prints them
    ("" for empty, None for absent)."""
    _, out, _ = run(["dcmdump", "-q", *sum((["+P", k] for k in keys), []), path])
    found = {}
    for s in out.splitlines():
        m = re.match(r"\((\w{4},\w{4})\) \w\w (.*)#\s*\d+,\s*\d+\s+(.+)$", s)
        if m:
            v = m.group(2).strip()
            v = "" if v == "(no value available)" else v.strip("[]").lstrip("=")
            found.setdefault(m.group(3).strip(), v)
            found.setdefault(m.group(1), v)
    return {k: found.get(k) for k in keys}


def dciodvfy(path):
    if not shutil.which("dciodvfy"):
        return "dciodvfy not installed"
    _, out, err = run(["dciodvfy", path])
    text = (out + err).splitlines()
    e = sum(s.startswith("Error") for s in text)
    w = sum(s.startswith("Warning") for s in text)
    return f"dciodvfy {plural(e, 'error')}, {plural(w, 'warning')}"


def read_pnm(path):
    """Maxval and sample values of a binary (P5/P6) or plain (P2/P3) PNM file."""
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        m = re.compile(rb"\s*(\S+)").match(data, pos)
        pos = m.end()
        if m.group(1).startswith(b"#"):
            pos = data.index(b"\n", m.start(1)) + 1
            continue
        fields.append(m.group(1))
    maxval = int(fields[3])
    if fields[0] in (b"P2", b"P3"):
        return maxval, [int(v) for v in data[pos:].split()]
    body = data[pos + 1 :]
    if maxval > 255:
        return maxval, [int.from_bytes(body[i : i + 2], "big") for i in range(0, len(body), 2)]
    return maxval, list(body)


def pixels_equal(src, out):
    """dcm2pnm's rendering of out, at src's depth, against the samples of src."""
    try:
        maxval, samples = read_pnm(src)
    except (AttributeError, ValueError):
        return "pixels not compared (no PNM header)"
    rendered = "rendered.pnm"
    rc, _, _ = run(["dcm2pnm", "+opn", str(maxval.bit_length()), out, rendered])
    if rc != 0:
        return "dcm2pnm failed"
    return "pixels equal" if read_pnm(rendered)[1] == samples else "pixels differ"


def refused(rc, err):
    return f"refused, {status(rc)}: {lines(err)}" if rc else f"status 0, no output: {lines(err)}"


def outcome(rc, err, out, src):
    if rc != 0 or not os.path.exists(out):
        return refused(rc, err)
    a = attrs(out, "Columns", "Rows", "PhotometricInterpretation", "BitsStored", "TransferSyntaxUID")
    cell = (f"status 0; {a['Columns']}x{a['Rows']} {a['PhotometricInterpretation']} "
            f"{a['BitsStored']}-bit, {a['TransferSyntaxUID']}")
    if re.search(r"\.(pgm|ppm)(\.gz)?$", src):
        cell += "; " + pixels_equal(src, out)
    return cell + "; " + dciodvfy(out)


# ------------------------------------------------------------- scenarios


def make_inputs():
    def write(name, data):
        with open(name, "wb") as f:
            f.write(data)

    noise = bytes((i * 37 + 11) % 256 for i in range(64 * 48 * 3 * 2))
    write("gray8.pgm", b"P5\n64 48\n255\n" + noise[: 64 * 48])
    write("gray16.pgm", b"P5\n64 48\n65535\n" + noise[: 64 * 48 * 2])
    write("color.ppm", b"P6\n64 48\n255\n" + noise[: 64 * 48 * 3])
    write("color.ppm.gz", gzip.compress(open("color.ppm", "rb").read()))
    with open("color.png", "wb") as f:
        subprocess.run(["pnmtopng", "color.ppm"], stdout=f, stderr=subprocess.DEVNULL, check=True)
    with open("color.jpg", "wb") as f:
        subprocess.run(["pnmtojpeg", "color.ppm"], stdout=f, stderr=subprocess.DEVNULL, check=True)
    write("empty.pgm", b"")
    write("bitmap.pbm", b"P4\n16 2\n\xff\x00\x0f\xf0")
    write("plain.pgm", b"P2\n2 2\n255\n0 64 128 255\n")
    write("plain.ppm", b"P3\n1 2\n255\n255 0 0 0 0 255\n")
    # The study an export joins: patient SRC-1, series 3, instance 5.
    subprocess.run(
        ["img2dcm", "-k", "PatientID=SRC-1", "-k", "PatientName=Source^Pat", "-k", "StudyDate=20240101",
         "-k", "StudyTime=101010", "-k", "SeriesNumber=3", "-k", "InstanceNumber=5",
         "color.jpg", "source.dcm"], check=True)


def image_for(tool):
    # img2dcm reads JPEG and BMP only: its metadata cases run on the JPEG.
    return "color.jpg" if tool == "img2dcm" else "gray8.pgm"


def input_row(name):
    def cell(tool):
        out = f"{tool}-{name}.dcm"
        rc, err = convert(tool, name, out)
        return outcome(rc, err, out, name)

    return cell


def fresh_export(tool, case, args):
    """Exports the tool's image to a new TOOL-CASE.dcm with args: (file, rc, err), file None on failure."""
    out = f"{tool}-{case}.dcm"
    if os.path.exists(out):
        os.unlink(out)
    rc, err = convert(tool, image_for(tool), out, args)
    return (out if rc == 0 and os.path.exists(out) else None), rc, err


def meta_row(args, keys, shown=None):
    """args: the tool's options (NO when it has none); keys: attributes to report."""

    def cell(tool):
        if args.get(tool) is NO:
            return NO
        # Every export names a patient, so that the warning about an empty
        # PatientID does not hide what the case is about.
        base = [] if tool == "gdcmimg" or "PatientID=KV-1" in args[tool] else k("PatientID=KV-1")
        out, rc, err = fresh_export(tool, "meta", base + args[tool])
        if out is None:
            return refused(rc, err)
        a = attrs(out, *keys)
        name = {k: f"({k})" if "," in k else k for k in keys}
        got = ", ".join(f"{name[k]} {'absent' if v is None else '[' + v + ']'}" for k, v in a.items())
        extra = f"; {dciodvfy(out)}" if shown == "dciodvfy" else ""
        return f"status 0; {got}{extra}" + (f"; stderr: {lines(err)}" if err.strip() else "")

    return cell


JOIN_KEYS = ("PatientID", "StudyInstanceUID", "StudyTime", "SeriesInstanceUID", "SOPInstanceUID", "InstanceNumber")


def join_row(args):
    def cell(tool):
        if args.get(tool) is NO:
            return NO
        out, rc, err = fresh_export(tool, "join", args[tool])
        if out is None:
            return refused(rc, err)
        src, got = attrs("source.dcm", *JOIN_KEYS), attrs(out, *JOIN_KEYS)
        parts = [f"{k.replace('InstanceUID', '')} {'same' if got[k] == src[k] else 'new'}" for k in JOIN_KEYS[:-1]]
        via = "" if tool != "gdcmimg" else f"({' '.join(args[tool])}) "
        return f"{via}status 0; " + ", ".join(parts) + f", InstanceNumber [{got['InstanceNumber']}]"

    return cell


# Ten exports into one new study and series, from a shell loop, as a user of
# each program writes it; the pause lets the clock move on between exports.
BATCH = {
    "kuvra_ppmtodicom": """
        STUDY=$("$KUVRA" --new-uid) SERIES=$("$KUVRA" --new-uid)
        DAY=$(date +%Y%m%d) TIME=$(date +%H%M%S)
        for i in 1 2 3 4 5 6 7 8 9 10; do
            "$KUVRA" -d secondary_capture -k PatientID=B-1 -k StudyInstanceUID="$STUDY" \\
                -k StudyDate="$DAY" -k StudyTime="$TIME" -k SeriesInstanceUID="$SERIES" \\
                -k InstanceNumber=$i -o batch$i.dcm gray8.pgm || exit 1
            sleep 0.3
        done""",
    "img2dcm": """
        img2dcm -k PatientID=B-1 -k InstanceNumber=1 color.jpg batch1.dcm || exit 1
        for i in 2 3 4 5 6 7 8 9 10; do
            sleep 0.3
            img2dcm --series-from batch$((i - 1)).dcm --instance-inc color.jpg batch$i.dcm || exit 1
        done""",
    "gdcmimg": """
        gdcmimg -i gray8.pgm -o batch1.dcm || exit 1
        uid() { dcmdump -q +P "$1" batch1.dcm | sed 's/.*\\[\\(.*\\)\\].*/\\1/'; }
        STUDY=$(uid StudyInstanceUID) SERIES=$(uid SeriesInstanceUID)
        for i in 2 3 4 5 6 7 8 9 10; do
            sleep 0.3
            gdcmimg -T "$STUDY" -S "$SERIES" -i gray8.pgm -o batch$i.dcm || exit 1
        done""",
}


def batch_cell(tool):
    work = "batch-" + tool
    os.mkdir(work)
    shutil.copy(image_for(tool), work)
    rc, _, err = run(["sh", "-c", BATCH[tool]], cwd=work, env=dict(os.environ, KUVRA=KUVRA))
    if rc != 0:
        return f"failed, {status(rc)}: {lines(err)}"
    files = sorted(f for f in os.listdir(work) if f.endswith(".dcm"))
    keys = ("StudyInstanceUID", "SeriesInstanceUID", "StudyTime", "SOPInstanceUID", "InstanceNumber")
    seen = {k: set() for k in keys}
    for f in files:
        for k, v in attrs(os.path.join(work, f), *keys).items():
            seen[k].add(v)
    numbers = sorted(int(v) for v in seen["InstanceNumber"] if v and v.isdigit())
    span = f"{numbers[0]}-{numbers[-1]}" if numbers else "empty"
    times = len(seen["StudyTime"]), " (empty)" if seen["StudyTime"] == {""} else ""
    return (f"{len(files)} files: {len(seen['StudyInstanceUID'])} StudyInstanceUID, "
            f"{len(seen['SeriesInstanceUID'])} SeriesInstanceUID, {times[0]} StudyTime{times[1]}, "
            f"{len(seen['SOPInstanceUID'])} SOPInstanceUID, {len(seen['InstanceNumber'])} InstanceNumber ({span})")


def message_row(make):
    def cell(tool):
        argv = make(tool)
        if argv is NO:
            return NO
        rc, out, err = run(argv)
        return f"{status(rc)}: {lines(err) or lines(out) or '(nothing on stderr)'}"

    return cell


def wrong_module(tool):
    src = image_for(tool)
    out = "wrong.dcm"
    return {
        "kuvra_ppmtodicom": [KUVRA, "-d", "secondary_captur", "-o", out, src],
        "img2dcm": ["img2dcm", "-i", "PNM", src, out],
        "gdcmimg": ["gdcmimg", "-C", "SecondaryCapture", "-i", src, "-o", out],
    }[tool]


def missing_input(tool):
    src, out = "missing.pgm", "missing.dcm"
    return {
        "kuvra_ppmtodicom": [KUVRA, "-d", "secondary_capture", "-o", out, src],
        "img2dcm": ["img2dcm", src.replace(".pgm", ".jpg"), out],
        "gdcmimg": ["gdcmimg", "-i", src, "-o", out],
    }[tool]


def missing_dir(tool):
    src, out = image_for(tool), os.path.join("no-such-dir", "out.dcm")
    return {
        "kuvra_ppmtodicom": [KUVRA, "-d", "secondary_capture", "-o", out, src],
        "img2dcm": ["img2dcm", src, out],
        "gdcmimg": ["gdcmimg", "-i", src, "-o", out],
    }[tool]


def k(*pairs):
    return [a for p in pairs for a in ("-k", p)]


def comment_cell(tool):
    if tool != "kuvra_ppmtodicom":
        return NO
    src = "comment.pgm"
    with open("gray8.pgm", "rb") as f:
        data = f.read()
    with open(src, "wb") as f:
        f.write(data.replace(b"P5\n", b"P5\n#PatienName:\tDoe^Jane\n#PatientID:\tKV-1\n", 1))
    out = "comment.dcm"
    rc, err = convert(tool, src, out)
    name = attrs(out, "PatientName")["PatientName"] if os.path.exists(out) else None
    return f"{status(rc)}; PatientName [{name}]; stderr: {lines(err)}"


VLP = "1.2.840.10008.5.1.4.1.1.77.1.4"  # VL Photographic Image Storage
ROWS = [
    ("Input", "PGM, 8-bit (P5)", input_row("gray8.pgm")),
    ("Input", "PGM, 16-bit (P5, maxval 65535)", input_row("gray16.pgm")),
    ("Input", "PPM (P6)", input_row("color.ppm")),
    ("Input", "PPM compressed with gzip", input_row("color.ppm.gz")),
    ("Input", "PNG", input_row("color.png")),
    ("Input", "JPEG", input_row("color.jpg")),
    ("Input", "empty file", input_row("empty.pgm")),
    ("Input", "PBM bitmap (P4)", input_row("bitmap.pbm")),
    ("Input", "plain PGM (P2)", input_row("plain.pgm")),
    ("Input", "plain PPM (P3)", input_row("plain.ppm")),
    ("Metadata", "-k PatientName=Doe^Jane -k PatientID=KV-1",
     meta_row({"kuvra_ppmtodicom": k("PatientName=Doe^Jane", "PatientID=KV-1"),
               "img2dcm": k("PatientName=Doe^Jane", "PatientID=KV-1"), "gdcmimg": NO},
              ("PatientName", "PatientID"))),
    ("Metadata", "misspelt key: -k PatienName=Doe^Jane",
     meta_row({"kuvra_ppmtodicom": k("PatienName=Doe^Jane"), "img2dcm": k("PatienName=Doe^Jane"), "gdcmimg": NO},
              ("PatientName",))),
    ("Metadata", "misspelt header comment #PatienName in the PGM", comment_cell),
    ("Metadata", "attribute no template lists: -k PixelSpacing=0.5\\0.5",
     meta_row({"kuvra_ppmtodicom": k("PixelSpacing=0.5\\0.5"), "img2dcm": k("PixelSpacing=0.5\\0.5"), "gdcmimg": NO},
              ("PixelSpacing",))),
    ("Metadata", "private tag (0009,1001) alone",
     meta_row({"kuvra_ppmtodicom": k("(0009,1001)/LO=Hello"), "img2dcm": k("0009,1001=Hello"), "gdcmimg": NO},
              ("PrivateCreator", "0009,1001"), "dciodvfy")),
    ("Metadata", "private tag with its creator (0009,0010)=ACME",
     meta_row({"kuvra_ppmtodicom": k("(0009,0010)/LO=ACME", "(0009,1001)/LO=Hello"),
               "img2dcm": k("0009,0010=ACME", "0009,1001=Hello"), "gdcmimg": NO},
              ("PrivateCreator", "0009,1001"), "dciodvfy")),
    ("Metadata", "fixed attribute: SOPClassUID=VL Photographic (gdcmimg: -C)",
     meta_row({"kuvra_ppmtodicom": k("SOPClassUID=" + VLP), "img2dcm": k("SOPClassUID=" + VLP),
               "gdcmimg": ["-C", VLP]}, ("SOPClassUID",), "dciodvfy")),
    ("Metadata", "impossible date: -k StudyDate=20240230",
     meta_row({"kuvra_ppmtodicom": k("StudyDate=20240230"), "img2dcm": k("StudyDate=20240230"), "gdcmimg": NO},
              ("StudyDate",))),
    ("Study", "--study-from SOURCE (gdcmimg: --template)",
     join_row({"kuvra_ppmtodicom": ["--study-from", "source.dcm"], "img2dcm": ["--study-from", "source.dcm"],
               "gdcmimg": ["--template", "source.dcm"]})),
    ("Study", "--study-from SOURCE --instance-inc",
     join_row({"kuvra_ppmtodicom": ["--study-from", "source.dcm", "--instance-inc"],
               "img2dcm": ["--study-from", "source.dcm", "--instance-inc"], "gdcmimg": NO})),
    ("Study", "--series-from SOURCE (gdcmimg: --template)",
     join_row({"kuvra_ppmtodicom": ["--series-from", "source.dcm"], "img2dcm": ["--series-from", "source.dcm"],
               "gdcmimg": ["--template", "source.dcm"]})),
    ("Study", "--series-from SOURCE --instance-inc",
     join_row({"kuvra_ppmtodicom": ["--series-from", "source.dcm", "--instance-inc"],
               "img2dcm": ["--series-from", "source.dcm", "--instance-inc"], "gdcmimg": NO})),
    ("Batch", "10 exports from a shell loop into one new study and series", batch_cell),
    ("Messages", "wrong module name (img2dcm: -i PNM; gdcmimg: -C SecondaryCapture)", message_row(wrong_module)),
    ("Messages", "nonexistent input file", message_row(missing_input)),
    ("Messages", "output directory missing", message_row(missing_dir)),
]


NOTES = """\
Inputs are 64x48 (the P4, P2 and P3 ones smaller).  img2dcm reads JPEG and BMP only, so its metadata,
study and batch cases run on the JPEG, the others' on the 8-bit PGM; the metadata cases of kuvra_ppmtodicom
and img2dcm also give -k PatientID=KV-1.  The study cases join an img2dcm export with PatientID SRC-1,
series 3 and InstanceNumber 5; "same" and "new" compare the output's value with that file's.  The batch
loops (BATCH in the script): kuvra_ppmtodicom with -k UIDs from --new-uid and one StudyDate/StudyTime;
img2dcm with --series-from the previous file --instance-inc; gdcmimg with -T/-S given the first file's
UIDs.  Messages: the first two lines of stderr, kuvra's log prefix (time of day, category, mask) removed."""


def short(message):
    """A dciodvfy message in a few words: the attribute missing and its type."""
    m = re.match(r"Error - Missing attribute (Type \w+) \w+ Element=<(\w+)>", message)
    if m:
        return f"{m.group(2)} missing ({m.group(1)})"
    m = re.match(r"Warning - Missing attribute or value that would be needed to build DICOMDIR - (.*)", message)
    return f"{m.group(1)} missing for a DICOMDIR" if m else message


def version(tool):
    argv = [KUVRA, "--version"] if tool == "kuvra_ppmtodicom" else [tool, "--version"]
    _, out, err = run(argv)
    first = next((s for s in (out + err).splitlines() if s.strip()), "?")
    return re.sub(r"\$(Date\$)?", "", first).strip()


def cell_text(s):
    return s.replace("|", "\\|").replace("\n", " ")


def main():
    if not os.access(KUVRA, os.X_OK):
        sys.exit(f"no {KUVRA}; build first")
    for p in ("img2dcm", "gdcmimg", "dcmdump", "dcm2pnm", "pnmtopng", "pnmtojpeg"):
        if not shutil.which(p):
            sys.exit(f"{p} is not on PATH")
    d3 = run(["dpkg-query", "-W", "-f", "${Version}", "dicom3tools"])[1] or "not installed"
    print(f"Measured {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC on {os.uname().nodename} "
          f"({os.uname().machine}) by bench/compare_peers.py.  ")
    print("; ".join(version(t) for t in TOOLS) + f"; dicom3tools {d3}.")
    print()
    print("| Area | Scenario | " + " | ".join(TOOLS) + " |")
    print("|---|---|" + "---|" * len(TOOLS))
    with tempfile.TemporaryDirectory(prefix="kuvra-peers.") as d:
        os.chdir(d)
        make_inputs()
        for area, scenario, cell in ROWS:
            cells = [cell(t) for t in TOOLS]
            print(f"| {area} | {cell_text(scenario)} | " + " | ".join(cell_text(c) for c in cells) + " |")
        print()
        print("dciodvfy's messages on the 8-bit PGM's output (img2dcm: the JPEG's):")
        print()
        for t in TOOLS:
            out = f"{t}-{image_for(t)}.dcm"
            found = run(["dciodvfy", out])[2].splitlines() if shutil.which("dciodvfy") else []
            errors = sorted({short(s) for s in found if s.startswith("Error")})
            warnings = sorted({short(s) for s in found if s.startswith("Warning")})
            print(f"- {t}: errors: {', '.join(errors) or 'none'}; warnings: {', '.join(warnings) or 'none'}")
        os.chdir("/")
    print()
    print(NOTES)

if __name__ == "__main__":
    main()
