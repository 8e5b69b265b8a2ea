/* Files and lines, install path and search paths, bounded strings and
 * platform shims of the kuvra support library.
 *
 * Every function reports through its result; none prints anything except
 * KVPathExpandEnvironment, which writes one message for a reference without
 * its closing parenthesis.  Buffer sizes are always the size of the whole
 * buffer, terminator included. */
#ifndef KUVRA_FILEUTIL_H
#define KUVRA_FILEUTIL_H

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Buffer sizes used throughout the product. */
#define KV_LINE_BUFSIZE 10240 /* one text line */
#define KV_PATH_BUFSIZE 1024  /* a path or a command line */

/* ---- Bounded strings -------------------------------------------------- */

/* Copies src into dst (strncpy semantics, NUL-filled) and always terminates
 * dst at size-1.  Returns dst when src fitted whole, NULL when it was cut
 * (dst then holds the first size-1 bytes).  size 0: NULL, nothing written. */
char *vr_strncpy(char *dst, const char *src, size_t size);

/* Appends src to the text in dst, a buffer of size bytes in all.  Returns dst
 * when all of src was appended, NULL when it was cut, when size is 0, or when
 * dst holds no terminator within its first size bytes (nothing written). */
char *vr_strncat(char *dst, const char *src, size_t size);

/* First position in haystack where needle matches ignoring case, or NULL.
 * An empty needle matches at haystack itself. */
char *vr_strcasestr(const char *haystack, const char *needle);

/* Creates "/tmp/<prefix>XXXXXX" exclusively (mode 0600) and returns its open
 * descriptor, the final name left in buf; -1 on failure (also when the name
 * does not fit in size bytes).  The caller owns and removes the file. */
int KVCompat_mkstemp(char *buf, size_t size, const char *prefix);

/* Blocking advisory lock over the whole file (F_SETLKW, start 0, length 0);
 * type is F_RDLCK, F_WRLCK or F_UNLCK.  0 on success, -1 on failure. */
int KVCompat_LockWholeFile(int fd, int type);

/* mkdir(2) passed through: 0 or -1. */
int KVCompat_mkdir(const char *path, mode_t mode);

/* ---- Install path and search paths ------------------------------------ */

/* Set once by detect_installpath, read by everything else. */
extern const char *prog_name;     /* argv0 after its last '/', points into argv0 */
extern char prog_path[1024];      /* install directory, no trailing "/" or "/bin" */
extern char ENV_PATH_PATH[10240]; /* $PATH with ':' replaced by '|' */

/* Works out prog_name, prog_path and ENV_PATH_PATH from argv0.  Always 0.
 * A bare name is looked up along $PATH (executable non-directories only).
 * An argv0 or PATH candidate too long for its 1,024-byte buffer is passed
 * over, never cut; prog_path then keeps its content. */
int detect_installpath(const char *argv0);

/* Expands $(NAME) references of text in place ("progpath" falls back to
 * prog_path).  0 on success; 1 on failure, after which text is unusable. */
int KVPathExpandEnvironment(char *text, size_t size);

/* The index-th (0-based) successfully expanded component of the
 * '|'-separated list, left in dst; NULL when the list runs out.  Components
 * that do not fit dstsize or fail to expand are passed over, not counted. */
char *getpathcomponent(const char *list, int index, char *dst, size_t dstsize);

/* The first "component/name" of list that access(2) accepts with mode, left
 * in out; NULL when none does.  No name: the directory itself.  Candidates
 * that do not fit outsize are not tested. */
char *getfilepath(const char *list, const char *name, int mode, char *out, size_t outsize);

/* "dir/name" into out (silently truncated); returns out. */
char *getfilebase(const char *dir, const char *name, char *out, size_t outsize);

/* "$HOME/sub" (else $USERPROFILE, else ".") into out; NULL if it would not fit. */
char *gethomepath(const char *sub, char *out, size_t outsize);

/* 0 if path is (now) a directory, -2 if it exists as something else, -1 if
 * it could not be created. */
int try_mkdir(const char *path);

/* ---- Files and lines --------------------------------------------------- */

/* Opens path for reading; a name ending in ".gz" or ".bz2" is read through
 * gzip/bzip2.  *is_pipe is set before the open is tried: 1 means close the
 * stream with pclose, 0 with fclose.  A compressed name holding a single
 * quote or longer than 1,000 characters gives NULL with *is_pipe 0. */
FILE *fileio_fopenloadfile(const char *path, int *is_pipe);
/* The writing twin ("gzip -1", "bzip2"), same suffix rules and flag. */
FILE *fileio_fopensavefile(const char *path, int *is_pipe);

/* One line into buf (at most size-1 bytes), cut at its first LF and then at
 * its first CR.  NULL at end of input, on a read error, or when size < 2. */
char *fgets_killcrnl(char *buf, int size, FILE *stream);
/* As fgets_killcrnl, passing over lines that begin with '#'. */
char *fgets_nocomment_killcrnl(char *buf, int size, FILE *stream);
/* As fgets_nocomment_killcrnl, also passing over empty lines. */
char *fgets_nocomment_noempty_killcrnl(char *buf, int size, FILE *stream);

/* Writes "<prefix><key>:\t<value>\n", splitting values longer than maxlen bytes
 * into continuation lines "<prefix>+<key>:\t<chunk>\n" (maxlen <= 0: no split).
 * Key or value alone: "<prefix><text>\n".  0 when it wrote, 1 when key and value
 * were both NULL. */
int write_comment_maxlen(FILE *stream, int maxlen, const char *prefix, const char *key,
                         const char *value);

#ifdef __cplusplus
}
#endif

#endif /* KUVRA_FILEUTIL_H */
