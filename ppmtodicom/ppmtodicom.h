/* Core of kuvra_ppmtodicom: turns one P5, P6 or KUVRA_FST input stream into
 * a macro stream for m4, spooling the pixel and field data into temporary
 * files under /tmp.
 *
 * Everything here works on caller-supplied stdio streams, so the conversion
 * can run on any input and output (a pipe, a file, an fmemopen buffer), not
 * only on descriptors 0 and 1.  Messages go through debug_printf with
 * category 3 (LoadSave) and severity 8 (error).  Nothing here exits the
 * process: a fatal condition is logged and reported through the result, and
 * the caller decides how to end. */
#ifndef KUVRA_PPMTODICOM_H
#define KUVRA_PPMTODICOM_H

#include <kuvra/internal/endmark.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The fixed prelude that opens every macro stream. */
#define KV_M4_PRELUDE_LENGTH 590
extern const char kv_m4_prelude_text[KV_M4_PRELUDE_LENGTH + 1];

/* Writes the prelude, then XX_CURRENT_DATE and XX_CURRENT_TIME from one
 * reading of the clock in local time.  Returns 0. */
int m4_prelude(FILE *out);
/* The same with the date and time taken from when (for reproducible output). */
int m4_prelude_at(FILE *out, const struct tm *when);

/* "P5", "P6" or "KUVRA_FIELDSET" for magic codes 8, 9 and 24; NULL for any
 * other code (an input the converter does not take). */
const char *data_format_name(int magic);

/* How the header-comment reader (translate_header_comment, fields.h) left
 * the line reader. */
enum kv_comment_next {
    KV_COMMENT_EOF = 0,     /* input ended while looking for a continuation */
    KV_COMMENT_PENDING = 1, /* the reader holds the next line, not yet dispatched */
    KV_COMMENT_NONE = 2,    /* the comment was dropped; nothing is pending */
    KV_COMMENT_OVER = 3     /* the header comments of the input exceed their
                               bound (logged): the run must stop */
};

/* 1 when text (len bytes) may stand between "[[" and "]]" without ending
 * the quoted string early or leaving a quote open, else 0. */
int m4_quotes_balanced(const char *text, size_t len);

/* The line that closes a complete macro stream.  It registers, through
 * m4wrap, the end mark that m4 writes to diversion 0 once all its input
 * (the stream, then the template) has been read: kuvra_dicom_synthesizer
 * --require-end refuses an element list without it, so an m4 that was
 * stopped or killed, or a template that called m4exit, gives no DICOM.
 * Every template gets the mark without a line of its own (KV_END_MARK,
 * kuvra/internal/endmark.h). */
#define KV_M4_CLOSING "m4wrap([[divert(0)\n" KV_END_MARK "\n]])divert[[]]dnl\n"

/* Runs the conversion of one whole input: in is positioned at the magic
 * line of an input of the given magic code (8, 9 or 24).  Writes the
 * prelude, the date, time and data-format macros, the translation of every
 * line, and at end of input the closing line, then flushes out.
 * Returns 0 at the regular end of input, 1 after a fatal condition has been
 * logged (the closing line KV_M4_CLOSING is then not written), -1 for an unsupported
 * magic code (nothing written). */
int convert_stream(FILE *in, FILE *out, int magic);
/* Header-comment lines (length bytes, LF-ended) that the command line gives
 * (-k, --study-from), with the option that gave them, for the messages
 * about their values ("-k PatientName"; NULL or empty: "header comment"). */
typedef struct kv_comment_block {
    const char *origin;
    const char *lines;
    size_t length;
} kv_comment_block;

/* The same, with the count blocks of header-comment lines translated after
 * the whole input, in order, so that they win over the input's own
 * comments of the same keys.  When input_whole is not NULL it is called with
 * ctx once the input has been read to its end, before anything more is
 * written: a non-zero result (after its logged message: a decompressor that
 * failed) makes the run fatal, and the closing line is not written. */
int convert_stream_with(FILE *in, FILE *out, int magic, const kv_comment_block *blocks,
                        size_t count, int (*input_whole)(void *ctx), void *ctx);
/* The same, reading the descriptor in (which stays the caller's) from its
 * offset, through a buffer of its own rather than stdio's: the data after
 * a header are then moved by the kernel where the input allows. */
int convert_fd_with(int in, FILE *out, int magic, const kv_comment_block *blocks, size_t count,
                    int (*input_whole)(void *ctx), void *ctx);

/* ---- Spooling ------------------------------------------------------------ */

/* One temporary file of the run.  Allocated by spool_to_tempfile. */
typedef struct tdnode {
    struct tdnode *next;
    char name[256];
} tdnode;

/* Every spooled file of the run, newest first; the only record of them. */
extern tdnode *tdroot;

/* KV_SPOOL_DIR ("/tmp") and KV_SPOOL_PREFIX ("kuvra_ppmtodicom_") come
 * from the build, which defines them once for every part. */
#define KV_SPOOL_CHUNK 65536

/* Copies exactly count bytes from the current position of in into a new
 * file /tmp/kuvra_ppmtodicom_XXXXXX and puts its record at the head of
 * tdroot.  The stream is left just behind the data.  count <= 0 gives an
 * empty file.  NULL on failure; a file whose copy failed is removed at once
 * and is not listed. */
tdnode *spool_to_tempfile(FILE *in, int32_t count);

/* Creates a new empty file /tmp/kuvra_ppmtodicom_XXXXXX followed by suffix,
 * exclusively (a file or link already at the name is never used) and with
 * mode 0600, and puts its record at the head of tdroot, so that it goes with
 * the spooled files.  For a file that a macro has an outside program write
 * into: its name is first known when it exists, so that no other user can
 * have put anything there, and /tmp's sticky bit keeps it from being
 * replaced.  NULL on failure. */
tdnode *spool_private_tempfile(const char *suffix);

/* Removes every file of tdroot, newest first, and frees the records. */
void tdroot_remove_all(void);
/* Frees the records and keeps the files (the macro stream names them). */
void tdroot_forget_all(void);

/* Installs handlers so that every catchable terminating signal (SIGHUP,
 * SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGALRM ...) removes every spooled
 * file before the process ends by that signal, and so that a pipeline reader
 * that goes away makes writes fail instead of killing the process. */
void spool_cleanup_on_signals(void);
/* Names one more file for that cleanup to remove: the output being written
 * under its temporary name.  NULL forgets it.  0, or -1 when path does not
 * fit (4,096 bytes with its terminator; nothing is recorded then). */
int spool_cleanup_also(const char *path);

/* ---- Export pipeline ------------------------------------------------------ */

#define KV_DICOM_SEARCH_PATH                                                                       \
    "$(progpath)/share/kuvra/override|$(HOME)/.kuvra/share|$(progpath)/share/kuvra|."

/* Looks the module file and the module directory up on the search path.
 * Returns 0 with both buffers (KV_PATH_BUFSIZE bytes each) filled, 1 when no
 * readable module file exists, 2 when no module directory does; the message
 * is logged. */
int find_dicom_module(const char *module, char *modpath, char *moddir);

/* The environment variable that names the synthesizer to run instead of
 * the installation's (a path, or a name that PATH finds). */
#define KV_SYNTHESIZER_ENV "KUVRA_DICOM_SYNTHESIZER"

/* Where kuvra_dicom_synthesizer is run from (KV_SYNTHESIZER_ENV, else the
 * program's own directory, else that of /proc/self/exe, else PATH) into out
 * (size bytes): 1 when it was found, else 0. */
int find_synthesizer(char *out, size_t size);
/* Logs why find_synthesizer found nothing: the program that KV_SYNTHESIZER_ENV
 * names cannot be run, or where it was looked for.  option: the option that
 * needs it ("--study-from"), or NULL for the export pipeline. */
void log_synthesizer_missing(const char *option);

/* The running "m4 -I<moddir> - <modpath> | kuvra_dicom_synthesizer". */
typedef struct kv_pipeline {
    FILE *sink; /* m4's standard input, the macro stream goes here */
    pid_t m4;
    pid_t synthesizer;
} kv_pipeline;

/* Starts the pipeline with argument vectors (no shell), the synthesizer
 * found by find_synthesizer.  0, or -1 when it cannot be started (nothing
 * is left running then). */
int export_pipeline_open(kv_pipeline *p, const char *moddir, const char *modpath);
/* Closes the sink, waits for both programs and returns the synthesizer's
 * exit code when it is not 0; else 1 when m4 failed (its template stopped
 * it, or it ended by a signal) or either program did not exit normally or
 * cannot be waited for; else 0.  An end by a signal is logged. */
int export_pipeline_close(kv_pipeline *p);
/* Ends the pipeline after a failure of the converter: both programs are
 * killed before m4 has read the end of the stream, so the template does not
 * run, and waited for.  Nothing is logged. */
void export_pipeline_abort(kv_pipeline *p);

#ifdef __cplusplus
}
#endif

#endif /* KUVRA_PPMTODICOM_H */
