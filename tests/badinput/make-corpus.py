#!/usr/bin/python3
"""Writes the bad-input corpus into corpus/ next to this script.

The files are committed; this script documents how each one was made and
regenerates them.  Compressed streams come from the real gzip, bzip2 and
lzma programs, then are cut or damaged here.  Everything is deterministic.
"""
import os
import random
import subprocess

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
rng = random.Random(8)


def put(name, data):
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)


def squeeze(cmd, data):
    return subprocess.run(cmd, input=data, stdout=subprocess.PIPE, check=True).stdout


def noise(n, avoid=b"\n"):
    return bytes(b for b in (rng.randrange(256) for _ in range(n * 2)) if b not in avoid)[:n]


def field(name, typ, dims, sizes, total, data, end=b"ENDFIELD\n"):
    return (b"FIELD\n" + name + b"\n" + typ + b"\n" + dims + b"\n" + sizes + b"\n" + total +
            b"\n" + data + b"\n" + end)


def capsule(size, padded, data, typ=b"U8 1", dims=b"1", name=b"FileCapsule", nl=b"\n"):
    lines = [b"KUVRA_FST", b"FIELD", name, typ, dims, size, padded]
    return nl.join(lines) + nl + data


p6 = b"P6\n4 3\n255\n" + bytes(range(36))
p5 = b"P5\n4 4\n255\n" + bytes(range(16))

# Zero bytes, garbage, NUL bytes, CR-only line ends, over-long lines.
put("empty", b"")
put("garbage", b"B" + noise(4095, avoid=b""))
put("nul_in_size_line", b"P5\n4\x00 4\n255\n" + bytes(16))
put("nul_in_magic_line", b"P6\x00\n1 1\n255\nabc")
put("nul_in_comment_value", b"P6\n#Key:\tva\x00lue\n1 1\n255\nabc")
put("cr_only_pnm", b"P5\r4 4\r255\r" + b"x" * 16)
put("cr_only_capsule", b"KUVRA_FST\rFIELD\rFileCapsule\rU8 1\r1\r3\r3\rabc")
put("long_line_before_size", b"P5\n#" + b"a" * 20000 + b"\n4 4\n255\n" + bytes(16))
put("long_comment_value", b"P6\n#Key:\t" + b"v" * 30000 + b"\n1 1\n255\nabc")
put("long_field_name", b"KUVRA_FST\n" + field(b"N" * 300, b"U8 1", b"1", b"3", b"3", b"abc"))
# A line longer than a line buffer must not be read in pieces: the tail of
# this value once defined PatientID.  NUL and CR inside values once cut them.
put("long_comment_injection", b"P5\n#ImageComments:\t" + b"a" * 10223 + b"#PatientID:\tINJECTED\n"
    b"2 2\n255\nabcd")
put("long_fieldset_comment", b"KUVRA_FST\n#ImageComments:\t" + b"c" * 12000 + b"\n" +
    field(b"Volume", b"U8 1", b"1", b"3", b"3", b"abc"))
put("nul_in_patient_name", b"P5\n#PatientName:\tDoe\x00Jane\n2 2\n255\nabcd")
put("cr_in_patient_id", b"P5\n#PatientID:\tAB\rCD\n2 2\n255\nabcd")

# Truncated headers, every format.
put("p5_magic_only", b"P5\n")
put("p5_no_depth", b"P5\n4 4\n")
put("p5_truncated_pixels", b"P5\n4 4\n255\nabc")
put("p5_16bit_odd_bytes", b"P5\n2 2\n65535\n" + bytes(7))
put("p6_magic_only", b"P6\n")
put("p6_no_depth", b"P6\n4 3\n")
put("p6_truncated_pixels", p6[:len(p6) - 20])
put("fst_magic_only", b"KUVRA_FST\n")
put("fst_eof_in_block", b"KUVRA_FST\nFIELD\nvol\nU8 1\n")
put("fst_eof_after_sizes", b"KUVRA_FST\nFIELD\nvol\nU8 1\n2\n4 4\n")
put("capsule_no_size", b"KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n")
put("capsule_no_padded_size", b"KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n3\n")

# Sizes: negative, huge, not numbers.
put("p5_negative_width", b"P5\n-4 4\n255\n" + bytes(16))
put("p5_negative_height", b"P5\n4 -1\n255\n" + bytes(16))
put("p5_huge", b"P5\n2000000000 2000000000\n255\n" + bytes(16))
put("p5_wide_row", b"P5\n600000000 1\n255\n" + bytes(16))
put("p5_depth_zero", b"P5\n1 1\n0\nx")
put("p5_depth_70000", b"P5\n1 1\n70000\nxx")
put("p6_negative", b"P6\n-1 -1\n255\nabc")
put("p6_huge", b"P6\n50000 50000\n255\nabc")
put("p6_depth_65535", b"P6\n1 1\n65535\nabcdef")
put("fst_total_huge", b"KUVRA_FST\n" + field(b"vol", b"U8 1", b"1", b"3", b"99999999999", b"abc"))
put("fst_total_not_number", b"KUVRA_FST\n" + field(b"vol", b"U8 1", b"1", b"3", b"abc", b"abc"))
put("fst_total_negative", b"KUVRA_FST\nFIELD\nvol\nU8 1\n1\n3\n-5\nENDFIELD\n")
put("capsule_negative_size", capsule(b"-1", b"3", b"abc\nENDFIELD\n"))
put("capsule_size_not_number", capsule(b"many", b"3", b"abc\nENDFIELD\n"))

# Found by fuzzing: zero-width rows with a huge height (a two-billion-row spin).
put("p6_zero_width_huge_height", b"P6\n0 2000000000\n255\n")

# Fieldset structure.
put("fst_17_dims", b"KUVRA_FST\n" + field(b"vol", b"U8 1", b"17", b" ".join([b"1"] * 17), b"1", b"x"))
put("fst_0_dims", b"KUVRA_FST\n" + field(b"vol", b"U8 1", b"0", b"1", b"1", b"x"))
put("fst_dims_not_number", b"KUVRA_FST\n" + field(b"vol", b"U8 1", b"three", b"1", b"1", b"x"))
put("fst_no_endfield", b"KUVRA_FST\nFIELD\nvol\nU8 1\n1\n3\n3\nabc\n\n\n")
put("fst_wrong_endfield", b"KUVRA_FST\n" + field(b"vol", b"U8 1", b"1", b"3", b"3", b"abc", b"#ENDFIELD\n"))
put("fst_data_short", b"KUVRA_FST\nFIELD\nvol\nU8 1\n1\n100\n100\n" + b"x" * 10)
put("fst_type_no_blank", b"KUVRA_FST\n" + field(b"vol", b"U8", b"1", b"3", b"3", b"abc"))
put("fst_type_unbalanced_quotes", b"KUVRA_FST\n" + field(b"vol", b"U8]]) 1", b"1", b"3", b"3", b"abc"))

# Capsules.
put("capsule_short", capsule(b"1000", b"1000", b"only ten b"))
put("capsule_bad_type", capsule(b"3", b"3", b"abc", typ=b"U8  1"))
put("capsule_two_dims", capsule(b"3", b"3", b"abc", dims=b"2"))
put("capsule_wrong_name", capsule(b"3", b"3", b"abc", name=b"Capsule"))
put("capsule_crlf", capsule(b"3", b"3", b"abc\r\nENDFIELD\r\n", nl=b"\r\n"))

# Header comments that try to run m4 or shell commands.
put("m4_syscmd_comment", b"P6\n#Key:\tx]])syscmd([[touch /tmp/kuvra_pwned]])dnl\n1 1\n255\nabc")
put("m4_reserved_name", b"P6\n#DATA_FORMAT:\tsyscmd([[touch /tmp/kuvra_pwned]])P6\n"
    b"#OVERRIDE:\tsyscmd([[touch /tmp/kuvra_pwned]])\n1 1\n255\nabc"
    b"#FIELD_RGB_DATA:\tsyscmd([[touch /tmp/kuvra_pwned]])\n")
put("m4_open_quote_comment", b"P6\n#Key:\t[[x\n#+Key:\ty\n1 1\n255\nabc")

# Other formats and single-line PNM headers.
put("pnm_single_line", b"P6 1 1 255\nabc")
put("pnm_comment_before_magic", b"#c\n" + p5)
put("png_signature", b"\x89PNG\r\n\x1a\n" + noise(100, avoid=b""))

# Compressed streams: cut, damaged, empty content, a fake lzma header.
# One valid 100 x 100 P6 image, large enough to be cut in the middle of its
# compressed data.
big = b"P6\n100 100\n255\n" + bytes((x * 7 + y * 3 + c) % 256 for y in range(100)
                                        for x in range(100) for c in range(3))
put("gzip_valid_p6", squeeze(["gzip", "-9c"], big))
gz = squeeze(["gzip", "-9c"], big)
bz = squeeze(["bzip2", "-9c"], big)
lz = squeeze(["lzma", "-9c"], big)
put("gzip_truncated", gz[: len(gz) // 2])
put("gzip_corrupt", gz[:12] + bytes(b ^ 0x5A for b in gz[12:]))
put("gzip_bad_crc", gz[:-8] + bytes(b ^ 0xFF for b in gz[-8:-4]) + gz[-4:])
put("gzip_of_empty", squeeze(["gzip", "-c"], b""))
put("gzip_of_garbage", squeeze(["gzip", "-c"], b"B" + noise(500, avoid=b"")))
put("bzip2_truncated", bz[: len(bz) // 2])
put("bzip2_corrupt", bz[:10] + bytes(b ^ 0x5A for b in bz[10:]))
put("lzma_truncated", lz[: len(lz) // 2])
put("lzma_corrupt", lz[:13] + bytes(b ^ 0x5A for b in lz[13:]))
put("lzma_fake_header", b"\x5d\x00\x00" + noise(200, avoid=b""))
inner = squeeze(["gzip", "-c"], big)
nested = squeeze(["bzip2", "-c"], inner[: len(inner) // 2])
put("gzip_in_bzip2_truncated_inner", nested)
