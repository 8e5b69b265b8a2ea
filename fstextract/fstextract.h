/* Extraction of the one file that a FileCapsule fieldset carries.
 *
 * The extraction works over streams the caller opened and keeps open, so
 * the program and in-process drivers (fuzzers, tests) share it. */
#ifndef KUVRA_FSTEXTRACT_H
#define KUVRA_FSTEXTRACT_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the one buffer that holds the frame lines and carries the data. */
#define FSTEXTRACT_BUFSIZE 65536

/* Checks the capsule frame read from in, then copies the encapsulated
 * file's bytes to out; every message goes to err.  Returns the exit status:
 * 0 when the whole file was copied and out was flushed, 1 after a message.
 * Nothing is written to out before the frame has passed every check, and
 * never a byte that was not read.  in is read only up to the end of the
 * encapsulated bytes (padding and later fields stay unread, apart from what
 * stdio buffers).  Neither stream is closed. */
int fst_extract_capsule(FILE *in, FILE *out, FILE *err);

#ifdef __cplusplus
}
#endif

#endif /* KUVRA_FSTEXTRACT_H */
