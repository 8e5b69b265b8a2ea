/* Conversion of a binary PGM ("P5", 8 or 16 bits) or PPM ("P6", 8 bits)
 * image into a 3D32 volume: the text header "3D32\n<w> <h> 1\n\n" and one
 * 4-byte voxel per pixel.
 *
 * The conversion works over streams the caller opened and keeps open, so
 * the program and in-process drivers (fuzzers, tests) share it. */
#ifndef KUVRA_PNMTO3D32_H
#define KUVRA_PNMTO3D32_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Parts of the volume to write; the program's -H and -D pick one of the
 * first two, the default is both. */
#define PNMTO3D32_HEADER 1
#define PNMTO3D32_DATA 2
#define PNMTO3D32_BOTH (PNMTO3D32_HEADER | PNMTO3D32_DATA)

/* Reads one image from in, writes the selected parts of the volume to out
 * and every message to err.  Returns the exit status: 0 on success, 1 after
 * a message.  in is read from its current position and only as far as the
 * image needs (the header stops there under PNMTO3D32_HEADER); out is
 * flushed before a success is returned, so a failed write is not reported
 * as success.  Neither stream is closed. */
int pnmto3d32_convert(FILE *in, FILE *out, FILE *err, int select);

#ifdef __cplusplus
}
#endif

#endif /* KUVRA_PNMTO3D32_H */
