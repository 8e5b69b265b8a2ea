// kuvra_ppmtodicom [-m | -d MODULE] [-k KEY=VALUE]... [--study-from FILE]
// [--series-from FILE] [--instance-inc] [-o OUTPUT] [INPUT]: the macro stream of a P5, P6 or
// KUVRA_FST image (INPUT, else standard input), to standard output or
// OUTPUT (-m) or through m4 and a DICOM module template into
// kuvra_dicom_synthesizer (-d).
#include "keys.h"
#include "ppmtodicom.h"

#include <kuvra/debuglog.h>
#include <kuvra/filetype.h>
#include <kuvra/fileutil.h>
#include <kuvra/internal/children.h>
#include <kuvra/internal/io.h>
#include <kuvra/internal/uid.h>
#include <kuvra/internal/version.h>
#include <kuvra/pipes.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

enum Mode { to_stdout = 0, to_pipeline = 1 };

// Header-comment lines that an option gives, and the option, as the
// messages about their values name it.
struct CommentBlock {
    std::string origin;
    std::string lines;
};

struct Options {
    Mode mode = to_stdout;
    const char *module = nullptr;    // points into argv
    const char *input = nullptr;     // operand; none or "-": standard input
    const char *output = nullptr;    // -o; none or "-": standard output
    const char *reference = nullptr; // --study-from / --series-from, the last given
    bool series = false;             // the reference's series is joined too
    bool instance_inc = false;       // --instance-inc
    std::vector<CommentBlock> keys;  // -k, as header-comment lines, one block each
};

void log_error(const char *msg) {
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "%s", msg);
}

void usage_line(const char *argv0) {
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Usage: %s [-m|-d m4module]\n", argv0);
}

void help(const char *argv0) {
    printf("Usage: %s [-m | -d MODULE] [-k KEY=VALUE]... [--study-from FILE]\n"
           "       [--series-from FILE] [--instance-inc] [-o OUTPUT] [INPUT]\n"
           "       %s --new-uid\n"
           "Turns a PGM (P5), PPM (P6) or fieldset (KUVRA_FST) file, plain or compressed,\n"
           "into an m4 macro stream (-m, the default) or, with -d, through m4 and the\n"
           "DICOM module template MODULE (secondary_capture, multiframe) into a DICOM file.\n"
           "\n"
           "  -m                    write the macro stream\n"
           "  -d MODULE             write a DICOM file made with the template MODULE\n"
           "  -k KEY=VALUE          set an attribute, by DICOM keyword (PatientName) or\n"
           "                        tag ((0010,0010); private: (0009,1001)/LO); wins over\n"
           "                        the input's comments\n"
           "  --study-from FILE     join the patient and study of the DICOM file FILE\n"
           "  --series-from FILE    join its series too (InstanceNumber one above FILE's)\n"
           "  --instance-inc        InstanceNumber one above FILE's with --study-from too\n"
           "  -o OUTPUT             write to OUTPUT, which a failed run does not leave\n"
           "  --new-uid             print a fresh UID (for a batch of exports) and exit\n"
           "  --help                print this help and exit\n"
           "  --version             print the version and exit\n"
           "INPUT is read from standard input when it is missing or \"-\".\n"
           "See kuvra_ppmtodicom(1).\n",
           argv0, argv0);
}

enum class Parsed { run, done, failed };

enum LongOnly {
    opt_help = 256,
    opt_version,
    opt_new_uid,
    opt_study_from,
    opt_series_from,
    opt_instance_inc
};

// Options left to right; of -m and -d the last one wins (-m leaves an
// earlier module name in place, unused).  A bad -k is refused here, before
// anything is written.
Parsed parse_options(int argc, char **argv, Options *opt) {
    static const struct option long_options[] = {
        {"help", no_argument, nullptr, opt_help},
        {"version", no_argument, nullptr, opt_version},
        {"new-uid", no_argument, nullptr, opt_new_uid},
        {"study-from", required_argument, nullptr, opt_study_from},
        {"series-from", required_argument, nullptr, opt_series_from},
        {"instance-inc", no_argument, nullptr, opt_instance_inc},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "hmd:k:o:", long_options, nullptr)) != -1) {
        switch (c) {
        case 'm':
            opt->mode = to_stdout;
            break;
        case 'd':
            opt->mode = to_pipeline;
            opt->module = optarg;
            break;
        case 'k': {
            std::string_view arg = optarg;
            CommentBlock b{"-k " + std::string(arg.substr(0, arg.find('='))), {}};
            if (!kuvra_convert::key_option_comment(arg, b.lines)) return Parsed::failed;
            opt->keys.push_back(std::move(b));
            break;
        }
        case 'o':
            opt->output = optarg;
            break;
        case opt_study_from:
        case opt_series_from:
            opt->reference = optarg;
            opt->series = c == opt_series_from;
            break;
        case opt_instance_inc:
            opt->instance_inc = true;
            break;
        case opt_help:
            help(argv[0]);
            return Parsed::done;
        case opt_version:
            kuvra::internal::print_version("kuvra_ppmtodicom");
            return Parsed::done;
        case opt_new_uid:
            printf("%s\n", kuvra::internal::make_uuid_uid().c_str());
            return Parsed::done;
        case 'h':
            usage_line(argv[0]);
            return Parsed::failed;
        default:
            log_error("Unknown option.\n");
            usage_line(argv[0]);
            return Parsed::failed;
        }
    }
    if (opt->instance_inc && !opt->reference) {
        log_error("Option --instance-inc increases the InstanceNumber of the file of "
                  "--study-from or --series-from; give one.\n");
        return Parsed::failed;
    }
    if (optind < argc) opt->input = argv[optind];
    if (optind + 1 < argc) {
        log_error("Only one input file is taken; give each its own run.\n");
        return Parsed::failed;
    }
    return Parsed::run;
}

bool is_dash(const char *name) {
    return !name || strcmp(name, "-") == 0;
}

// The named input becomes descriptor 0, where the sniffer reads.
bool open_input(const char *name) {
    if (is_dash(name)) return true;
    int fd = open(name, O_RDONLY);
    if (fd < 0 || (fd != 0 && dup2(fd, 0) < 0)) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot open input file %s: %s\n", name,
                     strerror(errno));
        return false;
    }
    if (fd != 0) close(fd);
    return true;
}

// Where the run's result goes, so that a failed run leaves none of it:
//  - OUTPUT (-o) is written under a temporary name in its own directory,
//    made exclusively with mode 0600, and renamed to OUTPUT with the mode of
//    a new file only at success (a failed or killed run leaves no OUTPUT,
//    nor an old one cut short);
//  - a DICOM to standard output that is a regular file is cut back at
//    failure to the length the file had;
//  - a DICOM to any other standard output (a pipe, a socket) is written to
//    an unnamed file first and copied out only at success.
// Descriptor 1 is the file written for the rest of the run, so that the
// synthesizer, which writes its standard output, writes it too.  The macro
// stream of -m to standard output goes out as it is made.
struct Output {
    enum Kind { direct, named, cut_back, held };
    Kind kind = direct;
    const char *name = nullptr; // named: OUTPUT
    std::string temp;           // named: the temporary name
    int fd = -1;                // named, held: the file written
    int real_out = -1;          // held: the process's own standard output
    off_t start = 0;            // cut_back: the length to cut back to

    // whole_dicom: the run writes a DICOM, which must come out whole or not
    // at all.
    bool open(const char *output, bool whole_dicom) {
        if (!is_dash(output)) return open_named(output);
        struct stat st;
        if (!whole_dicom || isatty(STDOUT_FILENO) || fstat(STDOUT_FILENO, &st) != 0)
            return true; // the synthesizer refuses a terminal itself
        if (S_ISREG(st.st_mode)) {
            // Appending (">>") writes at the end whatever the offset says.
            int fl = fcntl(STDOUT_FILENO, F_GETFL);
            start = fl >= 0 && (fl & O_APPEND) ? st.st_size : lseek(STDOUT_FILENO, 0, SEEK_CUR);
            kind = start >= 0 ? cut_back : direct;
            return true;
        }
        fd = ::open(KV_SPOOL_DIR, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        real_out = fd < 0 ? -1 : fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (real_out < 0 || dup2(fd, STDOUT_FILENO) < 0) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot create a file in %s: %s\n",
                         KV_SPOOL_DIR, strerror(errno));
            if (real_out >= 0) dup2(real_out, STDOUT_FILENO);
            return false;
        }
        kind = held;
        return true;
    }

    bool open_named(const char *output) {
        name = output;
        std::string path(output);
        size_t slash = path.rfind('/');
        std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        temp = dir + "." + base + ".XXXXXX";
        fd = mkostemp(temp.data(), O_CLOEXEC);
        bool ok = fd >= 0 && dup2(fd, STDOUT_FILENO) >= 0;
        if (ok && spool_cleanup_also(temp.c_str()) != 0) {
            errno = ENAMETOOLONG;
            ok = false;
        }
        if (!ok) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot create output file %s: %s\n",
                         output, strerror(errno));
            discard();
            return false;
        }
        kind = named;
        spool_cleanup_on_signals();
        return true;
    }

    void discard() {
        if (fd >= 0) {
            unlink(temp.c_str());
            close(fd);
        }
        fd = -1;
        spool_cleanup_also(nullptr);
    }

    // The run's status, after the output has been closed; 1 when the
    // result cannot be put in place.
    int finish(int status) {
        switch (kind) {
        case direct:
            return status;
        case cut_back:
            if (status != 0 && ftruncate(STDOUT_FILENO, start) != 0)
                debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                             "Cannot cut the output back to its old length: %s\n", strerror(errno));
            return status;
        case held:
            if (status == 0) {
                off_t from = 0;
                kuvra::internal::CopyResult r =
                    kuvra::internal::copy_bytes(fd, real_out, -1, {.in_offset = &from});
                if (!r.ok()) {
                    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot write the DICOM: %s\n",
                                 strerror(r.error));
                    status = 1;
                }
            }
            close(fd);
            close(real_out);
            fd = real_out = -1;
            return status;
        case named:
            break;
        }
        if (status != 0) {
            discard();
            return status;
        }
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd, 0666 & ~mask) != 0 || rename(temp.c_str(), name) != 0) {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot write output file %s: %s\n", name,
                         strerror(errno));
            discard();
            return 1;
        }
        close(fd);
        fd = -1;
        spool_cleanup_also(nullptr);
        return 0;
    }
};

// Where the macro stream goes for the rest of the run.
struct Sink {
    Mode mode = to_stdout;
    FILE *out = nullptr;
    kv_pipeline pipeline{};
    Output output;
};

// Opens the sink; false after a logged failure.
bool open_sink(const Options &opt, Sink *sink) {
    sink->mode = opt.mode;
    if (opt.mode == to_stdout) {
        if (!sink->output.open(opt.output, false)) return false;
        sink->out = stdout;
        return true;
    }
    char modpath[KV_PATH_BUFSIZE], moddir[KV_PATH_BUFSIZE];
    if (find_dicom_module(opt.module, modpath, moddir) != 0) return false;
    if (!sink->output.open(opt.output, true)) return false;
    if (export_pipeline_open(&sink->pipeline, moddir, modpath) != 0) {
        log_error("Cannot open output file/pipe.\n");
        // The usual cause: a program of the pipeline that cannot be found.
        char found[KV_PATH_BUFSIZE];
        if (!getfilepath(ENV_PATH_PATH, "m4", X_OK, found, sizeof found))
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                         "Cannot find %s on PATH: put the directory that holds it on PATH "
                         "(the build tree's bin, or the installation's bin directory).\n",
                         "m4");
        if (!find_synthesizer(found, sizeof found)) log_synthesizer_missing(nullptr);
        return false;
    }
    // From here on no way out of the run may leave spooled files behind.
    spool_cleanup_on_signals();
    sink->out = sink->pipeline.sink;
    return true;
}

// Ends the run with status.  With the pipeline, a run that failed stops it
// before the template runs; otherwise the stream is closed and the pipeline
// waited for, and the status becomes the pipeline's.  Every spooled file is
// then removed.  On standard output the files stay, named by the stream.
// The output is put in place only at success.
[[noreturn]] void finish(Sink *sink, int status) {
    if (sink->mode == to_pipeline && sink->out) {
        if (status != 0)
            export_pipeline_abort(&sink->pipeline);
        else
            status = export_pipeline_close(&sink->pipeline);
        tdroot_remove_all();
    } else if (sink->out) {
        // A stream that could not be written whole must not end in success.
        bool failed = ferror(stdout) != 0;
        if ((fclose(stdout) != 0 || failed) && status == 0) {
            log_error("Cannot write macro stream.\n");
            status = 1;
        }
        tdroot_forget_all();
    }
    status = sink->output.finish(status);
    debug_exit();
    exit(status);
}

// After "Input file must be P5, P6 or KUVRA_FIELDSET": what the input is,
// from its first bytes (fd delivers the innermost stream from its first
// byte, or is -1), and the netpbm command that makes it one the converter
// takes.  name: the input operand, or none.
void log_input_hint(int fd, int magic, const char *name) {
    unsigned char head[4] = {};
    ssize_t n = 0;
    if (fd >= 0) {
        while (n < ssize_t(sizeof head)) {
            ssize_t r = read(fd, head + n, sizeof head - size_t(n));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            n += r;
        }
    }
    const std::string in = is_dash(name) ? "INPUT" : name;
    auto say = [&](const char *what, const char *command, const char *out) {
        std::string how = std::string(command) + " " + in + " > " + out;
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "The input is %s; convert it first: %s\n", what,
                     how.c_str());
    };
    auto pnm = [&](char c) { return n >= 2 && head[0] == 'P' && head[1] == c; };
    if (fd < 0) return;
    if (n == 0)
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "The input is empty.\n");
    else if (n >= 4 && memcmp(head, "\x89PNG", 4) == 0)
        say("a PNG image", "pngtopnm", "image.pnm");
    else if (n >= 3 && memcmp(head, "\xFF\xD8\xFF", 3) == 0)
        say("a JPEG image", "jpegtopnm", "image.pnm");
    else if (pnm('1') || pnm('4'))
        say("a PBM bitmap (P1 or P4)", "pamdepth 255", "image.pgm");
    else if (pnm('2') || pnm('3'))
        say("a plain (text) PGM or PPM (P2 or P3)", "pnmtopnm", "image.pnm");
    else if (pnm('7'))
        say("a PAM image (P7)", "pamtopnm", "image.pnm");
    else if (pnm('5') || pnm('6'))
        say("a PGM or PPM whose magic number does not stand on a line of its own", "pnmtopnm",
            "image.pnm");
    else if (magic > 1)
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "The input is of type %s; netpbm converts most images: anytopnm %s\n",
                     magictomime(magic), (in + " > image.pnm").c_str());
    else
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "The input is of no type the converter knows; netpbm converts most "
                     "images: anytopnm %s\n",
                     (in + " > image.pnm").c_str());
}

// Called once the input has been read to its end: the decompressors and
// push-back helpers that fed it must have ended well too, for their output
// may end early without a sign in the bytes (a gzip CRC or trailer that
// fails is reported only by gzip's status, after its last byte).
int input_children_ok(void *) {
    kuvra::internal::ChildFailure failed;
    if (kuvra::internal::wait_started_children(&failed)) return 0;
    char how[32];
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                 "The input is damaged or cut short: %s failed on it (%s).\n", failed.program,
                 kuvra::internal::describe_status(failed.status, how, sizeof how));
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    debug_init();
    debug_set_file("");
    KVDebugReadEnvironment();

    Options opt;
    switch (parse_options(argc, argv, &opt)) {
    case Parsed::run:
        break;
    case Parsed::done:
        debug_exit();
        return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
    case Parsed::failed:
        debug_exit();
        return 1;
    }
    detect_installpath(argv[0]);
    pipethrough_catch_SIGCHLD();

    // Everything that can be refused without the input is, before any
    // output exists.  The reference's attributes come before -k's, so that
    // -k wins over them as over the input's.
    std::vector<CommentBlock> given;
    if (opt.reference)
        given.push_back(
            {std::string(opt.series ? "--series-from " : "--study-from ") + opt.reference, {}});
    if (!open_input(opt.input) ||
        (opt.reference && !kuvra_convert::reference_comments(
                              opt.reference, opt.series, opt.instance_inc, given.back().lines))) {
        debug_exit();
        return 1;
    }
    given.insert(given.end(), opt.keys.begin(), opt.keys.end());
    std::vector<kv_comment_block> blocks;
    for (const CommentBlock &b : given)
        blocks.push_back({b.origin.c_str(), b.lines.data(), b.lines.size()});

    // The input is recognised before the pipeline starts: a refused input
    // gets its own message, not m4's and the synthesizer's about a stream
    // that never came.
    int fd = -1;
    int magic = getmagic_open_compressed_fd(0, &fd);
    if (fd < 0 || !data_format_name(magic)) {
        log_error("Input file must be P5, P6 or KUVRA_FIELDSET\n");
        log_input_hint(fd, magic, opt.input);
        debug_exit();
        return 1;
    }

    Sink sink;
    if (!open_sink(opt, &sink)) finish(&sink, 1);
    int status = convert_fd_with(fd, sink.out, magic, blocks.data(), blocks.size(),
                                 input_children_ok, nullptr);
    close(fd);
    finish(&sink, status == 0 ? 0 : 1);
}
