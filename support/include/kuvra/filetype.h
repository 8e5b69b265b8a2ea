/* File-type recognition from leading bytes, opening through stacked
 * compression, and hand-off to the viewer.
 *
 * A magic code is 0..37 (KV_MAGIC_COUNT codes): 0 means the source could not
 * be opened, 1 that nothing was recognised. */
#ifndef KUVRA_FILETYPE_H
#define KUVRA_FILETYPE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KV_MAGIC_COUNT 38
#define KV_SNIFF_BUFSIZE 512 /* what callers of getmagic_fromfd_tomem pass */

enum {
    KV_MAGIC_ERROR = 0,
    KV_MAGIC_UNKNOWN = 1,
    KV_MAGIC_GZIP = 2,
    KV_MAGIC_COMPRESS = 3,
    KV_MAGIC_BZIP2 = 4,
    KV_MAGIC_16HL = 5,
    KV_MAGIC_3D32 = 6,
    KV_MAGIC_PBM = 7,
    KV_MAGIC_PGM = 8,
    KV_MAGIC_PPM = 9,
    KV_MAGIC_DICOM = 10,
    KV_MAGIC_PNG = 11,
    KV_MAGIC_JPEG = 12,
    KV_MAGIC_4D32 = 13,
    KV_MAGIC_CLASS8 = 14,
    KV_MAGIC_TIFF = 15,
    KV_MAGIC_TSA = 16,
    KV_MAGIC_GREY16 = 17,
    KV_MAGIC_QUILLSMITH = 18,
    KV_MAGIC_MSA = 19,
    KV_MAGIC_RFD = 20,
    KV_MAGIC_PFL = 21,
    KV_MAGIC_ITK = 22,
    KV_MAGIC_GIF = 23,
    KV_MAGIC_FST = 24,
    KV_MAGIC_V3D = 25,
    KV_MAGIC_ANALYZE = 26,
    KV_MAGIC_3D_CLIP = 27,
    KV_MAGIC_DATA_BLOCK_84 = 28,
    KV_MAGIC_IMAGE_COMMENTS = 29,
    KV_MAGIC_ASF = 30,
    KV_MAGIC_MPEG = 31,
    KV_MAGIC_MP4 = 32,
    KV_MAGIC_OGG = 33,
    KV_MAGIC_MPEG_VIDEO = 34,
    KV_MAGIC_PDF = 35,
    KV_MAGIC_ND32 = 36,
    KV_MAGIC_LZMA = 37
};

/* MIME name of a code (a constant text); "x-unknown/x-unknown" outside 0..37. */
const char *magictomime(int code);
/* Code of a MIME name, ignoring ASCII case; 1 for an unlisted name. */
int mimetomagic(const char *mime);

/* Type of the file at path; 0 if it cannot be opened. */
int getmagic(const char *path);
/* Sniffs fd into buf, reading no further than the step that decides (at most
 * 348 bytes).  *count holds buf's capacity on entry and, on return, how many
 * bytes were consumed from fd into buf, in order from the first: never
 * negative, and after a read error still the bytes taken before it.  Nothing
 * is put back: fd stays open, positioned after those bytes.  A capacity below
 * a step's total ends the sniffing there with 1. */
int getmagic_fromfd_tomem(int fd, char *buf, int *count);
/* Type of the content of a gzip / bzip2 file at path, sniffed from the output
 * of gunzip / bunzip2 (found through PATH, given the file on its standard
 * input, no shell involved, its error output discarded).  0 if the
 * decompressor cannot be started; 1 if the file cannot be opened or its
 * content is unrecognisable. */
int getgzmagic(const char *path);
int getbz2magic(const char *path);

/* Takes fd over, peels any stack of gzip, bzip2 and lzma, and stores through
 * out a descriptor (owned by the caller) that delivers the innermost content
 * from its first byte, or -1.  Returns the innermost magic code. */
int getmagic_open_compressed_fd(int fd, int *out);
/* Opens path read-only and hands it to getmagic_open_compressed_fd. */
int getmagic_open_compressed(const char *path, int *out);
/* The innermost content of path as a stream if its code is expected, else
 * NULL with no descriptor left open.  The caller fcloses the stream. */
FILE *open_file_for_load(const char *path, int expected);

/* Shows path in the viewer "see": 0 when the viewer was started, -1 when the
 * path cannot be opened, yields no stream, is a 3D32 volume, or the viewer
 * cannot be started. */
int open_file_via_OS(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* KUVRA_FILETYPE_H */
