/* Child processes on pipes.
 *
 * In every starting operation the input descriptor fd passes to the child
 * once the child exists: it is then closed in the caller, who must not use it
 * again.  A -1 result means no child was started and fd is still the
 * caller's.  Descriptors 0, 1 and 2 are never closed: a child given one of
 * them shares it with the caller.  Returned read ends belong to the caller
 * and are close-on-exec.  The standard descriptors are rebound for the span
 * of one call: single-threaded callers only.  A program that cannot be
 * executed is not a failure here: its child ends with status 1 and its pipes
 * yield end of file at once.
 *
 * The children are never waited for by these calls; once
 * pipethrough_catch_SIGCHLD has run they are collected as they end.  Other
 * children of the process (popen's, for instance) are left to their waiters. */
#ifndef KUVRA_PIPES_H
#define KUVRA_PIPES_H

#ifdef __cplusplus
extern "C" {
#endif

/* A stream that yields the length bytes at data, then the rest of fd
 * (through the program kuvra_pipeprefix: the one that the environment
 * variable KUVRA_PIPEPREFIX names, else the one in the running program's
 * directory, else in the directory of /proc/self/exe, else the one that PATH
 * finds).  -1 on
 * failure, also for a negative length.  A kuvra_pipeprefix that cannot be
 * executed gives a stream that ends at once; the process gets no SIGPIPE. */
int pipeprefix(const char *data, int length, int fd);
/* Runs file with argv (NULL-terminated, argv[0] the name) with fd as its
 * standard input; returns the read end of its standard output, or -1. */
int pipethrough(int fd, const char *file, const char *const argv[]);
/* As pipethrough, with the child's error output on a second pipe: 0 with
 * *out and *err set, or -1.  If the child could not be created the result
 * is 0 with both set to -1, and fd has been handed over all the same. */
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
