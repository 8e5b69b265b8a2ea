/* Child processes on pipes.
 *
 * In every starting operation the input descriptor fd passes to the child:
 * unless it is 0 it is closed in the caller, who must not use it again.  fd 0
 * stays open and is shared with the child.  Returned read ends belong to the
 * caller and are close-on-exec.  The standard descriptors are rebound for the
 * span of one call: single-threaded callers only. */
#ifndef KUVRA_PIPES_H
#define KUVRA_PIPES_H

#ifdef __cplusplus
extern "C" {
#endif

/* A stream that yields the length bytes at data, then the rest of fd
 * (through the program kuvra_pipeprefix).  -1 on failure. */
int pipeprefix(const char *data, int length, int fd);
/* Runs file with argv (NULL-terminated, argv[0] the name) with fd as its
 * standard input; returns the read end of its standard output, or -1. */
int pipethrough(int fd, const char *file, const char *const argv[]);
/* As pipethrough, with the child's error output on a second pipe: 0 with
 * *out and *err set (both -1 if the child could not be created), or -1. */
int pipethrougherr(int fd, const char *file, const char *const argv[], int *out, int *err);
/* Runs file with fd as standard input and the caller's own stdout/stderr.
 * 0 once started, -1 on failure. */
int pipeto(int fd, const char *file, const char *const argv[]);
/* Installs the SIGCHLD reaper for the children of the operations above.
 * Returns 0. */
int pipethrough_catch_SIGCHLD(void);

#ifdef __cplusplus
}
#endif

#endif /* KUVRA_PIPES_H */
