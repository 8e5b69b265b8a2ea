// The DICOM export pipeline: the module lookup on the search path, and m4
// feeding kuvra_dicom_synthesizer.
#include "ppmtodicom.h"

#include <kuvra/debuglog.h>
#include <kuvra/fileutil.h>
#include <kuvra/internal/children.h>
#include <kuvra/internal/fd.h>
#include <kuvra/internal/sibling.h>
#include <kuvra/internal/spawn.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr char modules_dir[] = "config/dicom/modules/";

// A file m4 can read as a template: a directory passes the access test too
// (an empty module name names the module directory itself).
bool is_module_file(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

// One path component that is no directory entry of its own: not empty, no
// '/', not starting with '.'.
bool is_module_name(const char *module) {
    return module[0] != '\0' && module[0] != '.' && !strchr(module, '/');
}

// After "Cannot find requested DICOM module.": the name asked for and the
// modules that the search path offers (the files of each module directory
// that a module name may name; "*.m4inc" are parts the modules include).
void log_modules_found(const char *module) {
    std::set<std::string> found;
    char dir[KV_PATH_BUFSIZE];
    for (int i = 0; getpathcomponent(KV_DICOM_SEARCH_PATH, i, dir, sizeof dir); ++i) {
        std::string path = std::string(dir) + "/" + modules_dir;
        DIR *d = opendir(path.c_str());
        if (!d) continue;
        while (const struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (is_module_name(n.c_str()) && !n.ends_with(".m4inc") &&
                is_module_file((path + n).c_str()))
                found.insert(n);
        }
        closedir(d);
    }
    std::string list;
    for (const std::string &n : found)
        list += (list.empty() ? "" : ", ") + n;
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                 "No DICOM module \"%s\" on the search path; the modules there: %s\n", module,
                 list.empty() ? "none" : list.c_str());
}

// Waits for pid; its status, or -1 when it cannot be waited for.
int wait_for(pid_t pid) {
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) == pid) return status;
        if (errno != EINTR) return -1;
    }
}

using kuvra::internal::UniqueFd;

// Starts file with argv, its standard input in and output out (-1: the
// process's own).  The child's pid, or -1.
pid_t spawn(const char *file, char *const argv[], int in, int out) {
    kuvra::internal::ChildLaunch child;
    child.file = file;
    child.argv = argv;
    child.io[0] = in;
    child.io[1] = out < 0 ? kuvra::internal::kChildInherits : out;
    pid_t pid = -1;
    return kuvra::internal::start_child(child, &pid) == 0 ? pid : -1;
}

} // namespace

extern "C" {

int find_dicom_module(const char *module, char *modpath, char *moddir) {
    char name[KV_PATH_BUFSIZE];
    int n = snprintf(name, sizeof name, "%s%s", modules_dir, module);
    // A cut name would find some other module.  A module is named, not
    // pointed at: a name with a slash or a leading dot ("../../x", "/x",
    // ".hidden") would run a file outside the module directories, and an
    // empty one names the directory.
    if (!is_module_name(module) || n < 0 || size_t(n) >= sizeof name ||
        !getfilepath(KV_DICOM_SEARCH_PATH, name, R_OK, modpath, KV_PATH_BUFSIZE) ||
        !is_module_file(modpath)) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot find requested DICOM module.\n");
        log_modules_found(module);
        return 1;
    }
    if (!getfilepath(KV_DICOM_SEARCH_PATH, modules_dir, R_OK | X_OK, moddir, KV_PATH_BUFSIZE)) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot find DICOM config module dir. ??\n");
        return 2;
    }
    return 0;
}

void log_synthesizer_missing(const char *option) {
    if (const char *env = getenv(KV_SYNTHESIZER_ENV); env && *env) {
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Cannot run %s, which %s names.\n", env,
                     KV_SYNTHESIZER_ENV);
        return;
    }
    const char *dir = kuvra::internal::program_directory();
    if (!dir) dir = "the program's directory";
    if (option)
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Cannot find kuvra_dicom_synthesizer in %s nor on PATH: it reads the file "
                     "of %s.\n",
                     dir, option);
    else
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                     "Cannot find kuvra_dicom_synthesizer in %s nor on PATH: install it next to "
                     "kuvra_ppmtodicom, put the directory that holds it on PATH (the build "
                     "tree's bin, or the installation's bin directory), or name it in %s.\n",
                     dir, KV_SYNTHESIZER_ENV);
}

int find_synthesizer(char *out, size_t size) {
    return kuvra::internal::find_sibling("kuvra_dicom_synthesizer", KV_SYNTHESIZER_ENV, out, size);
}

int export_pipeline_open(kv_pipeline *p, const char *moddir, const char *modpath) {
    p->sink = nullptr;
    p->m4 = p->synthesizer = -1;

    // m4 is given the file that the lookup found, as one argument: looked up
    // by name it would search the working directory before -I, and a module
    // found below a later search entry than the module directory would not
    // be found at all.  A leading "-" would make the path an option.
    char include_opt[KV_PATH_BUFSIZE + 2];
    char file[KV_PATH_BUFSIZE + 2];
    snprintf(include_opt, sizeof include_opt, "-I%s", moddir);
    snprintf(file, sizeof file, "%s%s", modpath[0] == '-' ? "./" : "", modpath);
    char m4_name[] = "m4", dash[] = "-", synth_name[] = "kuvra_dicom_synthesizer";
    char require_end[] = "--require-end";
    char *m4_argv[] = {m4_name, include_opt, dash, file, nullptr};
    char *synth_argv[] = {synth_name, require_end, nullptr};
    // Found before anything starts: an m4 without its synthesizer would
    // run the template on an empty stream and say so.
    char synth_file[KV_PATH_BUFSIZE];
    if (!find_synthesizer(synth_file, sizeof synth_file)) return -1;

    UniqueFd stream_in, stream_out, middle_in, middle_out;
    if (!kuvra::internal::make_pipe(stream_in, stream_out) ||
        !kuvra::internal::make_pipe(middle_in, middle_out))
        return -1;
    // m4 first: a synthesizer started before an m4 that cannot start would
    // run, however briefly, and might say something.
    pid_t m4 = spawn(m4_name, m4_argv, stream_in.get(), middle_out.get());
    if (m4 < 0) return -1;
    pid_t synth = spawn(synth_file, synth_argv, middle_in.get(), -1);
    if (synth < 0) {
        kill(m4, SIGKILL); // before it reads the end of its input: no template
        wait_for(m4);
        return -1;
    }
    FILE *sink = fdopen(stream_out.get(), "w");
    if (!sink) {
        stream_out.reset();
        middle_in.reset();
        middle_out.reset();
        wait_for(m4);
        wait_for(synth);
        return -1;
    }
    (void)stream_out.release(); // now the sink's
    p->sink = sink;
    p->m4 = m4;
    p->synthesizer = synth;
    return 0;
}

int export_pipeline_close(kv_pipeline *p) {
    if (p->sink) fclose(p->sink);
    p->sink = nullptr;
    int m4 = p->m4 > 0 ? wait_for(p->m4) : -1;
    int synth = p->synthesizer > 0 ? wait_for(p->synthesizer) : -1;
    p->m4 = p->synthesizer = -1;
    // Each program states its own failures; an end by a signal it cannot.
    char how[32];
    if (m4 != -1 && WIFSIGNALED(m4))
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "m4 ended by %s.\n",
                     kuvra::internal::describe_status(m4, how, sizeof how));
    if (synth != -1 && WIFSIGNALED(synth))
        debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "kuvra_dicom_synthesizer ended by %s.\n",
                     kuvra::internal::describe_status(synth, how, sizeof how));
    if (synth == -1 || !WIFEXITED(synth)) return 1;
    if (WEXITSTATUS(synth) != 0) return WEXITSTATUS(synth);
    // m4 reports an error (an include not found, a template's m4exit) by
    // its status alone, after writing what it could.
    return m4 != -1 && WIFEXITED(m4) && WEXITSTATUS(m4) == 0 ? 0 : 1;
}

void export_pipeline_abort(kv_pipeline *p) {
    // Killed before m4 sees the end of the stream, the template never runs:
    // no DICOM from a partial stream, and no follow-on messages.
    if (p->m4 > 0) kill(p->m4, SIGKILL);
    if (p->synthesizer > 0) kill(p->synthesizer, SIGKILL);
    if (p->sink) fclose(p->sink); // EPIPE at most: SIGPIPE is ignored by now
    p->sink = nullptr;
    if (p->m4 > 0) wait_for(p->m4);
    if (p->synthesizer > 0) wait_for(p->synthesizer);
    p->m4 = p->synthesizer = -1;
}

} // extern "C"
