#!/usr/bin/python3
"""Side-by-side benchmark of the kuvra programs and their peers.

Usage: bench/run.py [BUILD_DIR] [CASE_PREFIX...]

BUILD_DIR (default build-bench) holds the built programs in bin/ and
bench/.  CASE_PREFIX selects rows by the start of their key (dicom, macro,
voxel, capsule, todicom, pushback, sniff); all rows when none is given.

Each row runs our program and its baseline on the same input, alternating
(one warm-up run of each first, then RUNS runs of each, ours first), and
prints the median wall time of both, their ratio, and each side's peak RSS.
The peak RSS of a side is the largest of any process it ran: every stage is
waited for with wait4(), whose usage record covers the stage and all the
descendants it reaped, and the runner is a child subreaper, so that a
process orphaned inside a pipeline is reaped here and counted too.

Environment: KUVRA_BENCH_RUNS (default 5), KUVRA_BENCH_DIR (inputs and
outputs, default /tmp/kuvra-bench), KUVRA_BENCH_SNIFF_FILES (size of the
sniffing list, default 2000).
"""

import ctypes
import os
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time

RUNS = max(1, int(os.environ.get("KUVRA_BENCH_RUNS", "5")))
WORK = os.environ.get("KUVRA_BENCH_DIR", "/tmp/kuvra-bench")
SNIFF_FILES = int(os.environ.get("KUVRA_BENCH_SNIFF_FILES", "2000"))
# Inputs are kept between invocations; the version names their generator.
INPUTS = os.path.join(WORK, "inputs-v1")
OUT = os.path.join(WORK, "out")
MIB = 1 << 20


class NotBuilt(Exception):
    pass


class RunFailed(Exception):
    pass


# ---------------------------------------------------------------- machine


def machine_line():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = 0
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    mem = int(line.split()[1]) * 1024
    except OSError:
        pass
    load = os.getloadavg()
    return "Machine: %s, %d cores, %.1f GiB RAM, %s %s; load average %.2f %.2f %.2f at start" % (
        model, os.cpu_count() or 0, mem / (1 << 30), os.uname().sysname,
        os.uname().release, load[0], load[1], load[2])


# ---------------------------------------------------------------- inputs


def tape(length, seed):
    """Deterministic noise of length bytes, values 0 to 31."""
    import random
    rnd = random.Random(seed)
    raw = rnd.randbytes(length)
    return raw.translate(bytes(v & 31 for v in range(256)))


def write_image_body(f, row_bytes, rows, seed):
    """Rows of a smooth vertical ramp with low-amplitude noise: compresses
    about as well as a photograph, unlike a constant or a random image."""
    noise = tape(row_bytes + 4099, seed)
    ramps = [bytes((v + k) & 255 for v in range(256)) for k in range(256)]
    for y in range(rows):
        off = (y * 7919) % 4099
        f.write(noise[off:off + row_bytes].translate(ramps[(y * 256 // rows) & 255]))


def make_file(name, size, writer):
    """Path of input name, written by writer(f) unless a file of that size is
    already there."""
    path = os.path.join(INPUTS, name)
    if os.path.exists(path) and os.path.getsize(path) == size:
        return path
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        writer(f)
    if os.path.getsize(tmp) != size:
        raise RuntimeError("input %s: %d bytes written, %d expected" % (name, os.path.getsize(tmp), size))
    os.replace(tmp, path)
    return path


COMMENTS = b"#PatientName:\tDoe^John\n#PatientID:\tKV-BENCH-1\n#StudyDescription:\tBenchmark\n"


def pnm(name, magic, width, height, maxval, comments=b""):
    sample = 2 if maxval > 255 else 1
    row = width * sample * (3 if magic == b"P6" else 1)
    header = magic + b"\n" + comments + b"%d %d\n%d\n" % (width, height, maxval)
    return make_file(name, len(header) + row * height,
                     lambda f: (f.write(header), write_image_body(f, row, height, name)))


def gzipped(src):
    path = src + ".gz"
    if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(src):
        with open(path + ".part", "wb") as out:
            subprocess.run(["gzip", "-c", "-6", src], stdout=out, check=True)
        os.replace(path + ".part", path)
    return path


def volume(x, y, z):
    """Fieldset holding one U16 field Volume, samples least significant byte
    first, and the same voxels as a raw file."""
    data = x * y * z * 2
    header = (b"KUVRA_FST\n" + COMMENTS + b"#ExportField:\tVolume\n#ByteOrder:\tLittleEndian\n"
              b"FIELD\nVolume\nU16 2\n3\n%d %d %d\n%d\n" % (x, y, z, data))
    raw = make_file("volume_%dx%dx%d.raw" % (x, y, z), data,
                    lambda f: write_image_body(f, x * 2, y * z, "volume"))

    def copy(f):
        f.write(header)
        with open(raw, "rb") as r:
            shutil.copyfileobj(r, f, 4 * MIB)
        f.write(b"\nENDFIELD\n")
    fst = make_file("volume_%dx%dx%d.fst" % (x, y, z), len(header) + data + 10, copy)
    return fst, raw


def capsule(size):
    header = b"KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n%d\n%d\n" % (size, size)
    return make_file("capsule_%dMiB.fst" % (size // MIB), len(header) + size + 10,
                     lambda f: (f.write(header), write_image_body(f, MIB, size // MIB, "capsule"),
                                f.write(b"\nENDFIELD\n")))


def plain(name, size):
    return make_file(name, size, lambda f: write_image_body(f, MIB, size // MIB, name))


def sniff_list():
    path = os.path.join(WORK, "sniff-list.txt")
    files = []
    for root, dirs, names in os.walk("/usr/share"):
        dirs.sort()
        for n in sorted(names):
            p = os.path.join(root, n)
            if os.path.isfile(p) and not os.path.islink(p) and "\n" not in p and os.access(p, os.R_OK):
                files.append(p)
    # Every k-th file of the sorted walk: a spread over all of /usr/share.
    step = max(1, len(files) // SNIFF_FILES) if SNIFF_FILES > 0 else 1
    chosen = files[::step][:SNIFF_FILES] if SNIFF_FILES > 0 else files
    with open(path, "w") as f:
        f.write("".join(p + "\n" for p in chosen))
    return path, len(chosen), len(files)


# ---------------------------------------------------------------- running

libc = ctypes.CDLL(None, use_errno=True)
# Each stage runs under time(1).  A process started straight from this
# runner would not do: a child started by vfork or fork inherits the
# runner's peak RSS (the kernel keeps the high-water mark of the memory
# image that exec replaces), so every figure would be at least the
# interpreter's size.  time(1) is small and forks the stage itself.
TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None
PR_SET_CHILD_SUBREAPER = 36


class Stage:
    """One process of a pipeline.  stdin/stdout: a path, None for the
    neighbour stage's pipe (/dev/null for the first stage's input when the
    runner feeds nothing).  stderr_in: a file opened for reading on
    descriptor 2 (kuvra_pipeprefix reads its prefix there); else descriptor 2
    goes to a file in the output folder.  measured: counts for the side's
    peak RSS (sinks that the runner adds do not)."""

    def __init__(self, argv, stdin=None, stdout=None, stderr_in=None, measured=True):
        self.argv, self.stdin, self.stdout, self.stderr_in, self.measured = argv, stdin, stdout, stderr_in, measured


class Feed:
    """The runner itself feeds the first stage's pipe: path spliced repeat
    times, so that the feeding costs next to nothing on either side."""

    def __init__(self, path, repeat=1):
        self.path, self.repeat = path, repeat


def feed_pipe(feed, wfd):
    try:
        for _ in range(feed.repeat):
            with open(feed.path, "rb") as f:
                size = os.fstat(f.fileno()).st_size
                off = 0
                while off < size:
                    n = os.splice(f.fileno(), wfd, min(size - off, 4 * MIB), offset_src=off)
                    if n <= 0:
                        return
                    off += n
    except BrokenPipeError:
        pass
    finally:
        os.close(wfd)


def run_pipeline(stages, env, feed=None):
    """Runs stages connected by pipes; returns (wall seconds, peak RSS KiB of
    measured stages, cpu seconds of measured stages).  Raises RunFailed when a
    stage ends with a non-zero status."""
    for s in stages:
        if shutil.which(s.argv[0], path=env["PATH"]) is None:
            raise NotBuilt(s.argv[0])
    pids = {}
    feeder = None
    t0 = time.perf_counter()
    prev_read = None
    if feed is not None:
        r, w = os.pipe()
        prev_read = r
        feeder = threading.Thread(target=feed_pipe, args=(feed, w))
    try:
        for i, s in enumerate(stages):
            actions = []
            if s.stdin is not None or prev_read is None:
                actions.append((os.POSIX_SPAWN_OPEN, 0, s.stdin or "/dev/null", os.O_RDONLY, 0))
            else:
                actions.append((os.POSIX_SPAWN_DUP2, prev_read, 0))
            next_read = None
            if s.stdout is not None:
                flags = os.O_WRONLY if s.stdout.startswith("/dev/") else os.O_WRONLY | os.O_CREAT | os.O_TRUNC
                actions.append((os.POSIX_SPAWN_OPEN, 1, s.stdout, flags, 0o644))
            elif i + 1 < len(stages):
                r, w = os.pipe()
                next_read = r
                actions.append((os.POSIX_SPAWN_DUP2, w, 1))
            if s.stderr_in is not None:
                actions.append((os.POSIX_SPAWN_OPEN, 2, s.stderr_in, os.O_RDONLY, 0))
            else:
                actions.append((os.POSIX_SPAWN_OPEN, 2, os.path.join(OUT, "stderr.%d" % i),
                                os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
            # Pipe ends are close-on-exec (os.pipe), so a child keeps only its own.
            exe = shutil.which(s.argv[0], path=env["PATH"])
            argv = [exe] + s.argv[1:]
            usage = None
            if TIME is not None:
                usage = os.path.join(OUT, "usage.%d" % i)
                argv = [TIME, "-f", "%M %U %S", "-o", usage, "--"] + argv
            pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
            pids[pid] = (s, usage)
            if prev_read is not None:
                os.close(prev_read)
            if next_read is not None:
                os.close(w)
            prev_read = next_read
            if i == 0 and feeder is not None:
                feeder.start()
    except BaseException:
        if prev_read is not None:
            os.close(prev_read)
        raise
    rss = 0
    cpu = 0.0
    failed = []
    left = set(pids)
    t1 = t0
    while True:
        try:
            pid, status, ru = os.wait4(-1, 0)
        except ChildProcessError:
            break
        stage, usage = pids.get(pid, (None, None))
        if stage is not None:
            left.discard(pid)
            if not left:
                t1 = time.perf_counter()
            code = os.waitstatus_to_exitcode(status)
            if code != 0:
                failed.append("%s: status %d" % (stage.argv[0], code))
        if stage is not None and not stage.measured:
            continue
        if usage is not None:
            # time(1) reports its child's wait4() record (child plus the
            # descendants it reaped) for the peak RSS.  The CPU times come
            # from our own wait4(), which holds time(1)'s reaped child to the
            # microsecond (time(1) prints hundredths).
            try:
                with open(usage) as f:
                    rss = max(rss, int(f.read().split()[-3]))
            except (OSError, ValueError, IndexError):
                failed.append("%s: no usage record" % stage.argv[0])
            cpu += ru.ru_utime + ru.ru_stime
        else:
            # An orphan reparented to the runner belongs to a measured stage.
            rss = max(rss, ru.ru_maxrss)
            cpu += ru.ru_utime + ru.ru_stime
    if feeder is not None:
        feeder.join()
    if failed:
        raise RunFailed("; ".join(failed))
    return t1 - t0, rss, cpu


# ---------------------------------------------------------------- cases


class Case:
    def __init__(self, key, label, ours, base, target_ratio, rss_limit_mib, note="", check=None):
        # ours/base: () -> (stages, feed, cleanup).  check(side): after the
        # warm-up run of a side, before its cleanup, a text saying what is
        # wrong with the output, or None: a fast wrong result is no result.
        self.key, self.label, self.ours, self.base = key, label, ours, base
        self.target_ratio, self.rss_limit_mib, self.note = target_ratio, rss_limit_mib, note
        self.check = check


SPOOL_RE = re.compile(rb"/tmp/kuvra_ppmtodicom_[A-Za-z0-9]{6}")


def remove(*paths):
    """Removes outputs of a run: only files in the output folder or spool
    files of the converter, whatever a case names (a sink such as /dev/null
    must never go)."""
    for p in paths:
        p = os.path.abspath(p)
        if not (p.startswith(OUT + os.sep) or SPOOL_RE.fullmatch(p.encode()) or
                (p.endswith(".bs") and SPOOL_RE.fullmatch(p[:-3].encode()))):
            continue
        try:
            os.unlink(p)
        except FileNotFoundError:
            pass


def remove_spooled(stream_path):
    """-m leaves the spool files its stream names: remove those (and only
    those: other runs on the machine may have their own)."""
    try:
        with open(stream_path, "rb") as f:
            names = set(SPOOL_RE.findall(f.read()))
    except FileNotFoundError:
        return
    for n in names:
        remove(n.decode(), n.decode() + ".bs")


def lines_check(path, n):
    with open(path, "rb") as f:
        lines = f.read().count(b"\n")
    return None if lines == n else "%d result lines for %d files" % (lines, n)


def build_cases(build, env):
    bindir = os.path.join(build, "bin")
    p6 = pnm("p6_4096.ppm", b"P6", 4096, 4096, 255, COMMENTS)
    p5 = pnm("p5_4096_16.pgm", b"P5", 4096, 4096, 65535, COMMENTS)
    fst, raw = volume(512, 512, 256)
    p6gz = gzipped(p6)
    v5 = pnm("p5_8192_16.pgm", b"P5", 8192, 8192, 65535)
    v6 = pnm("p6_8192.ppm", b"P6", 8192, 8192, 255)
    cap = capsule(512 * MIB)
    stream = plain("stream_128MiB.bin", 128 * MIB)
    o_ours = os.path.join(OUT, "ours.out")
    o_base = os.path.join(OUT, "base.out")

    def one(argv, stdin, out, post=None):
        def make():
            return [Stage(argv, stdin=stdin, stdout=out)], None, (post or (lambda: remove(out)))
        return make

    def to_null(argv, stdin=None, post=None):
        def make():
            return [Stage(argv, stdin=stdin, stdout="/dev/null")], None, (post or (lambda: None))
        return make

    def bin_(name):
        return os.path.join(bindir, name)

    def voxel_output_size(width, height):
        return len(b"3D32\n%d %d %d\n\n" % (width, height, 1)) + width * height * 4

    def output(side):
        return o_ours if side == "ours" else o_base

    def dicom_check(pixel_bytes):
        def check(side):
            path = output(side)
            size = os.path.getsize(path) if os.path.exists(path) else 0
            with open(path, "rb") if size else open("/dev/null", "rb") as f:
                head = f.read(132)
            if size < pixel_bytes or head[128:132] != b"DICM":
                return "output is no DICOM file of %d pixel bytes (%d bytes)" % (pixel_bytes, size)
            return None
        return check

    def size_check(expected, base_expected=None, spooled=False):
        """Output (ours: for -m the one file its stream names) holds expected
        bytes (the baseline's: base_expected, when given)."""
        def check(side):
            path = output(side)
            if spooled and side == "ours":
                with open(path, "rb") as f:
                    names = set(SPOOL_RE.findall(f.read()))
                if len(names) != 1:
                    return "the stream names %d spool files, not 1" % len(names)
                path = names.pop().decode()
            want = base_expected if side == "base" and base_expected is not None else expected
            size = os.path.getsize(path) if os.path.exists(path) else -1
            return None if size == want else "output of %d bytes, %d expected" % (size, want)
        return check

    cases = []
    sc = ["kuvra_ppmtodicom", "-d", "secondary_capture"]
    gdcm = ["gdcmimg", "-i"]
    cases.append(Case("dicom-rgb", "RGB 4096x4096 P6 to DICOM", one(sc, p6, o_ours),
                      to_null(gdcm + [p6, "-o", o_base], post=lambda: remove(o_base)), 0.33, 16,
                      check=dicom_check(4096 * 4096 * 3)))
    cases.append(Case("dicom-grey16", "16-bit 4096x4096 P5 to DICOM", one(sc, p5, o_ours),
                      to_null(gdcm + [p5, "-o", o_base], post=lambda: remove(o_base)), 0.33, 16,
                      check=dicom_check(4096 * 4096 * 2)))
    cases.append(Case("dicom-volume", "U16 512x512x256 fieldset to DICOM",
                      one(["kuvra_ppmtodicom", "-d", "multiframe"], fst, o_ours),
                      to_null(["gdcmimg", "--size", "512,512,256", "--depth", "16", "-i", raw, "-o", o_base],
                              post=lambda: remove(o_base)), 0.33, 16,
                      "gdcmimg on the same voxels as a raw file", check=dicom_check(512 * 512 * 256 * 2)))
    # Small images, where the fixed cost of one export decides: single
    # exports, and a batch of 200 from a shell loop into one study and series.
    p6s = pnm("p6_256.ppm", b"P6", 256, 256, 255, COMMENTS)
    p5s = pnm("p5_512_16.pgm", b"P5", 512, 512, 65535, COMMENTS)
    cases.append(Case("dicom-small-rgb", "RGB 256x256 P6 to DICOM", one(sc, p6s, o_ours),
                      to_null(gdcm + [p6s, "-o", o_base], post=lambda: remove(o_base)), 0.35, 16,
                      check=dicom_check(256 * 256 * 3)))
    cases.append(Case("dicom-small-grey16", "16-bit 512x512 P5 to DICOM", one(sc, p5s, o_ours),
                      to_null(gdcm + [p5s, "-o", o_base], post=lambda: remove(o_base)), 0.35, 16,
                      check=dicom_check(512 * 512 * 2)))
    batch = 200
    ours_loop = ('st=$(kuvra_ppmtodicom --new-uid) && se=$(kuvra_ppmtodicom --new-uid) && i=0 && '
                 'while [ $i -lt %d ]; do i=$((i + 1)); kuvra_ppmtodicom -d secondary_capture '
                 '-k StudyInstanceUID=$st -k SeriesInstanceUID=$se -k InstanceNumber=$i '
                 '-o "%s/batch-ours-$i.dcm" "%s" || exit 1; done' % (batch, OUT, p6s))
    base_loop = ('i=0 && while [ $i -lt %d ]; do i=$((i + 1)); '
                 'gdcmimg -i "%s" -o "%s/batch-base-$i.dcm" || exit 1; done' % (batch, p6s, OUT))

    def batch_side(script, side):
        def clean():
            remove(*[os.path.join(OUT, "batch-%s-%d.dcm" % (side, i + 1)) for i in range(batch)])
        return to_null(["sh", "-c", script], post=clean)

    def batch_check(side):
        path = os.path.join(OUT, "batch-%s-%d.dcm" % (side, batch))
        if os.path.exists(path) and os.path.getsize(path) > 256 * 256 * 3:
            return None
        return "no %s after the loop" % os.path.basename(path)
    cases.append(Case("dicom-batch", "200 x RGB 256x256 to DICOM, shell loop",
                      batch_side(ours_loop, "ours"), batch_side(base_loop, "base"), 0.35, 16,
                      "one study and series (--new-uid); gdcmimg in the same loop", check=batch_check))
    m = ["kuvra_ppmtodicom", "-m"]
    cases.append(Case("macro-plain", "-m 4096x4096 P6 (48 MiB)",
                      one(m, p6, o_ours, lambda: (remove_spooled(o_ours), remove(o_ours))),
                      one(["cat"], p6, o_base), 1.1, 8, check=size_check(4096 * 4096 * 3, os.path.getsize(p6), True)))
    cases.append(Case("macro-gzip", "-m 4096x4096 P6, gzip",
                      one(m, p6gz, o_ours, lambda: (remove_spooled(o_ours), remove(o_ours))),
                      one(["gunzip", "-c"], p6gz, o_base), 1.1, 8,
                      check=size_check(4096 * 4096 * 3, os.path.getsize(p6), True)))
    vsize = voxel_output_size(8192, 8192)
    veq = make_file("voxel_output_size.bin", vsize,
                    lambda f: write_image_body(f, 8192 * 4, 8192, "voxels") or f.write(b"\0" * (vsize - 8192 * 8192 * 4)))
    for key, label, src in (("voxel-p5", "pnmto3d32 8192x8192 16-bit P5", v5),
                            ("voxel-p6", "pnmto3d32 8192x8192 P6", v6)):
        cases.append(Case(key, label, one(["kuvra_pnmto3d32", src], None, o_ours), one(["cat"], veq, o_base), 1.3, 4,
                          "cat of a file as large as the output", check=size_check(vsize)))
    cases.append(Case("capsule", "FST_extract 512 MiB capsule",
                      one(["kuvra_FST_extract", cap], None, o_ours), one(["cat", cap], None, o_base), 1.1, 4,
                      check=size_check(512 * MIB, os.path.getsize(cap))))
    # kuvra_dicom_to_P5 against dcm2pnm on the same DICOM files: GDCM's
    # export of the 16-bit P5 images, native and RLE-compressed.
    def dicom_of(src, name, *conv):
        path = os.path.join(INPUTS, name)
        if not os.path.exists(path):
            native = path if not conv else path + ".native.dcm"
            subprocess.run(["gdcmimg", "-i", src, "-o", native + ".part"], check=True)
            os.replace(native + ".part", native)
            if conv:
                subprocess.run(["gdcmconv"] + list(conv) + [native, path + ".part"], check=True)
                os.replace(path + ".part", path)
                os.unlink(native)
        return path

    def p5_check(width, height):
        """Our P5 holds the frame (dcm2pnm's header has other comments)."""
        ours = size_check(len(b"P5\n%d %d\n65535\n" % (width, height)) + width * height * 2)
        return lambda side: ours(side) if side == "ours" else None

    d4 = dicom_of(p5, "dicom_4096_16.dcm")
    d8 = dicom_of(v5, "dicom_8192_16.dcm")
    d4rle = dicom_of(p5, "dicom_4096_16_rle.dcm", "--rle")
    to_p5 = ["kuvra_dicom_to_P5"]
    base_p5 = ["dcm2pnm", "+on2"]

    def to_p5_pipe(path):
        def make():
            return [Stage(to_p5, stdout=o_ours)], Feed(path), lambda: remove(o_ours)
        return make
    for key, label, path, w, limit in (
            ("todicom-native", "dicom_to_P5 4096x4096 16-bit native (%.1f MB)", d4, 4096, 48),
            ("todicom-rle", "dicom_to_P5 4096x4096 16-bit RLE (%.1f MB)", d4rle, 4096, 48),
            ("todicom-large", "dicom_to_P5 8192x8192 16-bit native (%.1f MB)", d8, 8192, 128 + 16)):
        label = label % (os.path.getsize(path) / 1e6)
        cases.append(Case(key, label, one(to_p5 + [path], None, o_ours),
                          to_null(base_p5 + [path, o_base], post=lambda: remove(o_base)), 1.5, limit,
                          "dcm2pnm +on2 on the same file; RSS target: one frame + 16 MiB",
                          check=p5_check(w, w)))
    cases.append(Case("todicom-pipe", "dicom_to_P5 4096x4096 16-bit native, pipe", to_p5_pipe(d4),
                      to_null(base_p5 + [d4, o_base], post=lambda: remove(o_base)), 1.5, 48,
                      "ours reads a pipe (spooled), dcm2pnm the file", check=p5_check(4096, 4096)))

    prefix = make_file("prefix3.bin", 3, lambda f: f.write(b"\x1f\x8b\x08"))

    def pushback(argv):
        def make():
            return [Stage(argv, stdout="/dev/null", stderr_in=prefix)], Feed(stream, 8), lambda: None
        return make
    cases.append(Case("pushback", "pipeprefix 1 GiB pipe", pushback(["kuvra_pipeprefix"]), pushback(["cat"]),
                      1.1, 4, "pipe in, /dev/null out; 3-byte prefix"))
    lst, n, total = sniff_list()
    sniff = os.path.join(build, "bench", "bench_sniff_files")
    cases.append(Case("sniff", "getmagic, %d files" % n,
                      one([sniff, lst], None, o_ours), one(["file", "--mime-type", "-f", lst], None, o_base), 0.05, None,
                      "1 in %d of the %d files under /usr/share" % (max(1, total // max(1, n)), total),
                      check=lambda side: lines_check(output(side), n)))
    return cases


def measure(case, env):
    """(ours times, base times, ours rss, base rss, ours cpu, base cpu)."""
    sides = [("ours", case.ours), ("base", case.base)]
    times = {"ours": [], "base": []}
    rss = {"ours": 0, "base": 0}
    cpu = {"ours": [], "base": []}
    for i in range(RUNS + 1):
        for side, make in sides:
            stages, feed, cleanup = make()
            try:
                t, r, c = run_pipeline(stages, env, feed)
                wrong = case.check(side) if i == 0 and case.check else None
                if wrong:
                    raise RunFailed(wrong)
            except RunFailed as e:
                raise RunFailed("%s: %s" % ("ours" if side == "ours" else "baseline", e))
            finally:
                cleanup()
            if i == 0:
                continue  # warm-up: page cache, dynamic loader
            times[side].append(t)
            cpu[side].append(c)
            rss[side] = max(rss[side], r)
    return times, rss, cpu


def fmt_rss(kib):
    return "%.1f MiB" % (kib / 1024.0)


def main():
    args = sys.argv[1:]
    build = os.path.abspath(args.pop(0) if args and os.path.isdir(args[0]) else "build-bench")
    select = args
    os.makedirs(INPUTS, exist_ok=True)
    os.makedirs(OUT, exist_ok=True)
    os.makedirs(os.path.join(WORK, "home"), exist_ok=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        print("warning: not a child subreaper; orphaned processes are not counted", file=sys.stderr)
    env = dict(os.environ)
    env["PATH"] = os.path.join(build, "bin") + ":" + env.get("PATH", "/usr/bin:/bin")
    env["HOME"] = os.path.join(WORK, "home")  # no user module overrides
    env["LC_ALL"] = "C"
    print(machine_line(), flush=True)
    t_start = time.perf_counter()
    print("Preparing inputs in %s ..." % INPUTS, file=sys.stderr, flush=True)
    cases = [c for c in build_cases(build, env) if not select or any(c.key.startswith(s) for s in select)]
    # Inputs just written are still being written back to disk; runs made
    # meanwhile compete with that and with its throttling of writers (and a
    # side that writes more is hit harder).  Wait for it to end.
    os.sync()
    print("Inputs ready after %.0f s; %d runs of each side per row, alternating." %
          (time.perf_counter() - t_start, RUNS), file=sys.stderr, flush=True)
    head = ("Case", "Ours s", "Base s", "Ratio", "Target", "Ours RSS", "Base RSS", "CPU ratio", "")
    rows = []
    notes = []
    for c in cases:
        try:
            times, rss, cpu = measure(c, env)
        except NotBuilt as e:
            rows.append((c.label, "-", "-", "-", "-", "-", "-", "-", "not built (%s)" % os.path.basename(str(e))))
            print(rows[-1][0], rows[-1][-1], file=sys.stderr, flush=True)
            continue
        except RunFailed as e:
            rows.append((c.label, "-", "-", "-", "-", "-", "-", "-", "FAILED"))
            notes.append("%s: %s" % (c.label, e))
            print(rows[-1][0], e, file=sys.stderr, flush=True)
            continue
        to, tb = statistics.median(times["ours"]), statistics.median(times["base"])
        co, cb = statistics.median(cpu["ours"]), statistics.median(cpu["base"])
        ratio = to / tb if tb > 0 else float("inf")
        ok = ratio <= c.target_ratio
        target = "<= %.2f" % c.target_ratio
        if c.rss_limit_mib is not None:
            target += ", < %d MiB" % c.rss_limit_mib
            ok = ok and rss["ours"] < c.rss_limit_mib * 1024
        rows.append((c.label, "%.3f" % to, "%.3f" % tb, "%.3f" % ratio, target, fmt_rss(rss["ours"]),
                     fmt_rss(rss["base"]), "%.3f" % (co / cb) if cb > 0 else "-", "ok" if ok else "MISS"))
        if c.key == "sniff":
            n = int(c.label.split(",")[1].split()[0])
            notes.append("sniffing per file: ours %.1f us, file --mime-type %.1f us (%.0fx faster)" %
                         (to / n * 1e6, tb / n * 1e6, tb / to if to > 0 else 0))
        if c.note:
            notes.append("%s: %s" % (c.label, c.note))
        print(" ".join(rows[-1]), file=sys.stderr, flush=True)
    widths = [max(len(r[i]) for r in [head] + rows) for i in range(len(head))]
    line = lambda r: "  ".join(r[i].ljust(widths[i]) for i in range(len(r))).rstrip()
    print(line(head))
    print(line(tuple("-" * w for w in widths)))
    for r in rows:
        print(line(r))
    print("Median wall time of %d alternating runs per side (after one warm-up each); ratio = ours / baseline;"
          " RSS = largest peak of any process of the side; CPU ratio = user+system time, ours / baseline." % RUNS)
    print("Baselines: gdcmimg (DICOM rows), dcm2pnm +on2 (dicom_to_P5 rows), cat (plain macro stream, voxel, capsule, push-back), gunzip -c (gzip macro"
          " stream), file --mime-type -f (sniffing).")
    for n in notes:
        print("  " + n)
    print("Total %.0f s." % (time.perf_counter() - t_start))


if __name__ == "__main__":
    main()
