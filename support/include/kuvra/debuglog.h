/* The product's debug log: per-category severity masks, a log file and an
 * in-memory ring of the last KV_DEBUG_RING_SLOTS messages.
 *
 * The emit core debug_vlog and the wrapper debug_printf are defined here as
 * file-local (static inline) functions: every source file that logs carries
 * its own copy and reaches the shared state only through the globals below. */
#ifndef KUVRA_DEBUGLOG_H
#define KUVRA_DEBUGLOG_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KV_DEBUG_CATEGORIES 64
#define KV_DEBUG_RING_SLOTS 1024
#define KV_DEBUG_TEXT_SIZE 512

/* Severity bits. */
#define KV_SEV_PANIC 1u
#define KV_SEV_ALERT 2u
#define KV_SEV_CRITICAL 4u
#define KV_SEV_ERROR 8u
#define KV_SEV_WARNING 16u
#define KV_SEV_NOTICE 32u
#define KV_SEV_INFO 64u
#define KV_SEV_DEBUG 128u
#define KV_SEV_JUNK 256u
#define KV_SEV_TRACE 512u

/* The category every message of the export tool-chain uses. */
#define KV_CAT_LOADSAVE 3

typedef struct kv_debug_config {
    FILE *logfile;                          /* NULL: no file output; may be stderr */
    uint32_t filemask[KV_DEBUG_CATEGORIES]; /* severities the log file accepts */
    uint32_t ringmask[KV_DEBUG_CATEGORIES]; /* severities the ring accepts */
    uint32_t filecount;                     /* messages written to the file */
    uint32_t ringcount;                     /* messages stored or continued in the ring */
} kv_debug_config;

extern kv_debug_config KVDebugConfig;

typedef struct debugentry {
    int32_t sec;
    int32_t usec;
    uint32_t category;
    uint32_t severity; /* 0 marks an empty slot */
    char text[KV_DEBUG_TEXT_SIZE];
} debugentry;

extern debugentry *debugentry_inmem_list; /* NULL when there is no ring */
extern int32_t debugentry_inmem_index;    /* slot the next new message goes to */
extern int32_t debugentry_inmem_max;      /* number of slots, 0 without a ring */

/* Optional per-caller record for debug_vlog: mask tables that replace the
 * global ones for that message, and a name reference.  name_ref points to a
 * slot (or is NULL) that holds a pointer to a named object (or NULL); the
 * object's zero-terminated name lies directly behind its first 32-bit member.
 * The caller owns the record and the object; the facility only reads them. */
typedef struct debug_context {
    uint32_t filemask[KV_DEBUG_CATEGORIES];
    uint32_t ringmask[KV_DEBUG_CATEGORIES];
    void *const *name_ref;
} debug_context;

typedef struct debug_bitname {
    const char *name; /* NULL ends a table */
    uint32_t value;
} debug_bitname;

extern const debug_bitname debug_subsys_bitnames[];
extern const debug_bitname debug_severity_bitnames[];

typedef struct debug_timeval {
    int32_t sec;
    int32_t usec;
} debug_timeval;

/* Allocates the ring (every slot empty, its text "") and sets the default
 * masks: file 0x1f, ring 0x7f in every category; counts 0.  Leaves the log
 * file alone.  0, or -1 when the ring could not be allocated (the masks are
 * set all the same and messages reach the log file only). */
int debug_init(void);
/* Sets the file (ring) mask of category, or of all categories when category
 * is 64 or more (which includes (uint32_t)-1).  Returns mask. */
uint32_t debug_enable(uint32_t category, uint32_t mask);
uint32_t debug_enable_inmem(uint32_t category, uint32_t mask);
/* Closes the current log file unless it is stderr, then: NULL leaves no log
 * file, "" makes stderr the log file, anything else is opened for appending.
 * 0, or -1 when the path could not be opened (no log file then). */
int debug_set_file(const char *path);
/* KUVRA_DEBUG_FILE (set, even empty) replaces the log file as debug_set_file
 * does; KUVRA_DEBUG_FLAGS "cat,mask;cat,mask..." sets file masks as
 * debug_enable does, up to the first element that is not a number pair. */
void KVDebugReadEnvironment(void);
/* Frees the ring and closes the log file unless it is stderr, which stays the
 * log file.  Returns 0. */
int debug_exit(void);

/* Writes the count most recent ring entries (oldest first) to fd as raw
 * lines.  Returns 0. */
int debug_dump_inmem(int fd, int count);
/* The count newest entries matching category (-1: any), severity and the
 * optional exclusive time bounds, oldest first, in style 0 (raw), 1 (dated)
 * or 2 (marked); a malloc'ed text the caller frees, or NULL. */
char *KVDebugGetstrInmem(int style, int count, int category, uint32_t severity,
                         const debug_timeval *earliest, const debug_timeval *latest);

/* Writes the formatted text to the log file with every control character
 * (bytes below 0x20 and 0x7F) as "\xHH", except a line feed that ends the
 * text and tabs: texts carry lines of the input, and an escape sequence or
 * carriage return in them would act on the terminal that shows the log, a
 * line feed would forge a log line of its own.  The character count written,
 * or a negative value when formatting or writing failed. */
static inline int debug_write_escaped(FILE *f, const char *fmt, va_list ap)
    __attribute__((format(printf, 2, 0)));
static inline int debug_write_escaped(FILE *f, const char *fmt, va_list ap) {
    char small[1024];
    char *text = small;
    int n, i, start = 0, written = 0;
    va_list aq;
    va_copy(aq, ap);
    n = vsnprintf(small, sizeof small, fmt, aq);
    va_end(aq);
    if (n < 0) return n;
    if ((size_t)n >= sizeof small) {
        text = (char *)malloc((size_t)n + 1);
        if (!text) return -1;
        va_copy(aq, ap);
        vsnprintf(text, (size_t)n + 1, fmt, aq);
        va_end(aq);
    }
    for (i = 0; i <= n; i++) {
        unsigned char c = (unsigned char)text[i];
        int plain = i < n && (c >= 0x20 || c == '\t' || (c == '\n' && i == n - 1)) && c != 0x7F;
        if (plain) continue;
        /* The run of plain bytes before text[i], then text[i] escaped. */
        if (i > start && fwrite(text + start, 1, (size_t)(i - start), f) != (size_t)(i - start))
            written = -1;
        else if (written >= 0)
            written += i - start;
        if (i < n) {
            int e = fprintf(f, "\\x%02X", c);
            if (e < 0 || written < 0)
                written = -1;
            else
                written += e;
        }
        start = i + 1;
    }
    if (text != small) free(text);
    return written;
}

/* Emit core, file-local in every includer.  Offers one message to the ring
 * and then to the log file.  cont != 0 continues the previous message. */
static inline int debug_vlog(const debug_context *ctx, int cont, int category, uint32_t severity,
                             const char *fmt, va_list ap) __attribute__((format(printf, 5, 0)));
static inline int debug_vlog(const debug_context *ctx, int cont, int category, uint32_t severity,
                             const char *fmt, va_list ap) {
    struct timeval tv;
    const uint32_t *fmask, *rmask;
    int result = 0, to_ring, to_file;
    uint32_t cat = (uint32_t)category;
    if (cat >= KV_DEBUG_CATEGORIES) return 0;
    fmask = ctx ? ctx->filemask : KVDebugConfig.filemask;
    rmask = ctx ? ctx->ringmask : KVDebugConfig.ringmask;
    to_ring = debugentry_inmem_list && debugentry_inmem_max > 0 && (severity & rmask[cat]);
    to_file = KVDebugConfig.logfile && (severity & fmask[cat]);
    /* The time query is the dearest part of a message that nothing takes;
     * when a sink takes it, both sinks share this one time. */
    if (!to_ring && !to_file) return 0;
    gettimeofday(&tv, NULL);
    if (to_ring) {
        va_list aq;
        debugentry *e;
        if (cont) {
            debugentry_inmem_index =
                debugentry_inmem_index == 0 ? debugentry_inmem_max - 1 : debugentry_inmem_index - 1;
            e = &debugentry_inmem_list[debugentry_inmem_index];
            {
                /* The slot's text is a valid string (debug_init clears every
                 * slot), but count only within the slot all the same. */
                size_t used = 0;
                while (used < KV_DEBUG_TEXT_SIZE - 1 && e->text[used])
                    used++;
                va_copy(aq, ap);
                vsnprintf(e->text + used, KV_DEBUG_TEXT_SIZE - used, fmt, aq);
                va_end(aq);
            }
        } else {
            e = &debugentry_inmem_list[debugentry_inmem_index];
            e->sec = (int32_t)tv.tv_sec;
            e->usec = (int32_t)tv.tv_usec;
            e->category = cat;
            e->severity = severity;
            va_copy(aq, ap);
            vsnprintf(e->text, KV_DEBUG_TEXT_SIZE, fmt, aq);
            va_end(aq);
        }
        /* vsnprintf leaves the buffer unspecified on an encoding error; the
         * slot text must stay a string for retrieval and later continuations. */
        e->text[KV_DEBUG_TEXT_SIZE - 1] = '\0';
        KVDebugConfig.ringcount++;
        if (++debugentry_inmem_index >= debugentry_inmem_max) debugentry_inmem_index = 0;
    }
    if (to_file) {
        va_list aq;
        FILE *f = KVDebugConfig.logfile;
        if (!cont) {
            fprintf(f, "%d.%06d:% 2d %08x:", (int)tv.tv_sec, (int)tv.tv_usec, (int)cat,
                    (unsigned)severity);
            if (ctx && ctx->name_ref && *ctx->name_ref) {
                const char *object = (const char *)*ctx->name_ref;
                fprintf(f, "%s:", object + sizeof(uint32_t));
            }
        }
        va_copy(aq, ap);
        result = debug_write_escaped(f, fmt, aq);
        va_end(aq);
        KVDebugConfig.filecount++;
    }
    return result;
}

/* The one logging call: category, severity mask, printf format ending in "\n". */
static inline int debug_printf(int category, uint32_t severity, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
static inline int debug_printf(int category, uint32_t severity, const char *fmt, ...) {
    va_list ap;
    int r;
    va_start(ap, fmt);
    r = debug_vlog(NULL, 0, category, severity, fmt, ap);
    va_end(ap);
    return r;
}

#ifdef __cplusplus
}
#endif

#endif /* KUVRA_DEBUGLOG_H */
