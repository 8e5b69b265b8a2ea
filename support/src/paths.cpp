// Install path and search paths: where the program lives, $(NAME) expansion,
// and finding files through '|'-separated lists of directory templates.
#include <kuvra/fileutil.h>
#include <kuvra/internal/sibling.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
const char *prog_name = "";
char prog_path[1024];
char ENV_PATH_PATH[10240];
}

namespace {

// The directory of the program as argument 0 names it, before the "/bin"
// is taken off (kuvra/internal/sibling.h); empty until one is known.
char program_dir[1024];
bool program_dir_known = false;

// Copies s (not NUL-terminated) into dst when it fits whole with its
// terminator; a cut path would name some other directory, so it is refused.
bool copy_whole(char *dst, size_t dstsize, std::string_view s) {
    if (s.size() >= dstsize) return false;
    memcpy(dst, s.data(), s.size());
    dst[s.size()] = '\0';
    return true;
}

// True when candidate is something PATH lookup would run: executable and no
// directory (access(X_OK) also accepts searchable directories, and an empty
// program name would make every PATH directory a match).
bool is_runnable(const char *candidate) {
    struct stat st;
    return access(candidate, X_OK) == 0 && stat(candidate, &st) == 0 && !S_ISDIR(st.st_mode);
}

// Looks name up along the ':'-separated PATH as the shell does and leaves the
// directory of the first runnable match in prog_path; false when there is
// none.  Candidates that do not fit the work buffer are passed over.
bool find_on_path(std::string_view path, const char *name) {
    char candidate[KV_PATH_BUFSIZE];
    for (;;) {
        size_t colon = path.find(':');
        std::string_view dir = path.substr(0, colon);
        // An empty component gives "/name", as the original lookup did.
        if (copy_whole(candidate, sizeof candidate, dir) &&
            vr_strncat(candidate, "/", sizeof candidate) &&
            vr_strncat(candidate, name, sizeof candidate) && is_runnable(candidate)) {
            *strrchr(candidate, '/') = '\0';
            vr_strncpy(prog_path, candidate, sizeof prog_path);
            return true;
        }
        if (colon == std::string_view::npos) return false;
        path.remove_prefix(colon + 1);
    }
}

// Calls visit(component) for each component of a '|'-separated search path
// until it returns true.  A '|' at the very end adds no empty component.
template <class Visit> void for_each_component(std::string_view list, Visit visit) {
    while (!list.empty()) {
        size_t bar = list.find('|');
        if (visit(list.substr(0, bar)) || bar == std::string_view::npos) return;
        list.remove_prefix(bar + 1);
    }
}

// Copies component into buf and expands its references there.  False when
// it does not fit whole or does not expand; the caller passes it over.
bool expand_component(std::string_view component, char *buf, size_t size) {
    return copy_whole(buf, size, component) && KVPathExpandEnvironment(buf, size) == 0;
}

} // namespace

extern "C" {

int detect_installpath(const char *argv0) {
    if (!argv0) // execve with an empty argument vector
        argv0 = "";
    prog_name = argv0;
    const char *path_env = getenv("PATH");

    if (const char *slash = strrchr(argv0, '/')) {
        prog_name = slash + 1;
        // An argument 0 too long for prog_path is passed over, never cut.
        if (strlen(argv0) < sizeof prog_path) {
            copy_whole(prog_path, sizeof prog_path, std::string_view(argv0, size_t(slash - argv0)));
            // "/x" lives in the root directory.
            program_dir_known =
                copy_whole(program_dir, sizeof program_dir,
                           slash == argv0 ? "/" : std::string_view(argv0, size_t(slash - argv0)));
        }
    } else if (path_env) {
        program_dir_known = find_on_path(path_env, argv0);
        if (program_dir_known) copy_whole(program_dir, sizeof program_dir, prog_path);
    }

    size_t len = strlen(prog_path);
    while (len > 0 && prog_path[len - 1] == '/')
        prog_path[--len] = '\0';
    if (len > 4 && std::string_view(prog_path, len).ends_with("/bin")) prog_path[len - 4] = '\0';

    if (path_env) {
        vr_strncpy(ENV_PATH_PATH, path_env, sizeof ENV_PATH_PATH);
        for (char *p = ENV_PATH_PATH; (p = strchr(p, ':')) != nullptr; ++p)
            *p = '|';
    }
    return 0;
}

} // extern "C"

extern "C" {

int KVPathExpandEnvironment(char *text, size_t size) {
    size_t len = strlen(text);
    size_t scan = 0; // the scan goes on here; inserted values are never rescanned
    for (;;) {
        char *dollar = strchr(text + scan, '$');
        if (!dollar) return 0;
        if (dollar[1] != '(') {
            scan = size_t(dollar - text) + 1;
            continue;
        }
        char *close = strchr(dollar + 2, ')');
        if (!close) {
            fprintf(stderr, "Cannot correctly expand path:%s.\n", text + scan);
            return 1;
        }
        std::string_view name(dollar + 2, size_t(close - dollar - 2));
        // Neither the empty name nor one holding '=' can name a variable;
        // getenv would match a prefix of some other entry for the latter.
        if (name.empty() || name.find('=') != std::string_view::npos) return 1;
        *close = '\0'; // getenv needs the name terminated; restored below
        const char *value = getenv(dollar + 2);
        *close = ')';
        if (!value && name == "progpath") value = prog_path;
        if (!value) return 1;

        size_t ref_len = name.size() + 3; // "$(" name ")"
        size_t value_len = strlen(value);
        size_t new_len = len - ref_len + value_len;
        if (new_len >= size) return 1;
        size_t at = size_t(dollar - text);
        memmove(text + at + value_len, text + at + ref_len, len - at - ref_len + 1);
        memcpy(text + at, value, value_len);
        len = new_len;
        scan = at + value_len;
    }
}

char *getpathcomponent(const char *list, int index, char *dst, size_t dstsize) {
    if (!list || index < 0 || dstsize == 0) return nullptr;
    char *found = nullptr;
    int seen = 0;
    for_each_component(list, [&](std::string_view component) {
        if (!expand_component(component, dst, dstsize)) return false; // passed over, not counted
        if (seen++ == index) found = dst;
        return found != nullptr;
    });
    return found;
}

char *getfilepath(const char *list, const char *name, int mode, char *out, size_t outsize) {
    if (!list || outsize == 0) return nullptr;
    char *found = nullptr;
    for_each_component(list, [&](std::string_view component) {
        char dir[KV_PATH_BUFSIZE];
        if (!expand_component(component, dir, sizeof dir)) return false;
        // A cut candidate names some other file (a cut "dir/name" may well
        // be "dir/" itself), so one that does not fit is not tested.
        bool fits = vr_strncpy(out, dir, outsize) != nullptr;
        if (fits && name && *name)
            fits = vr_strncat(out, "/", outsize) && vr_strncat(out, name, outsize);
        if (fits && access(out, mode) == 0) found = out;
        return found != nullptr;
    });
    return found;
}

char *getfilebase(const char *dir, const char *name, char *out, size_t outsize) {
    if (outsize == 0) return out;
    out[0] = '\0';
    if (dir && *dir) vr_strncpy(out, dir, outsize);
    if (name && *name) {
        vr_strncat(out, "/", outsize);
        vr_strncat(out, name, outsize);
    }
    return out;
}

char *gethomepath(const char *sub, char *out, size_t outsize) {
    const char *base = getenv("HOME");
    if (!base) base = getenv("USERPROFILE");
    if (!base) base = ".";
    if (strlen(base) + strlen(sub) + 2 >= outsize) return nullptr;
    vr_strncpy(out, base, outsize);
    vr_strncat(out, "/", outsize);
    vr_strncat(out, sub, outsize);
    return out;
}

int try_mkdir(const char *path) {
    struct stat st;
    if (stat(path, &st) == 0) return S_ISDIR(st.st_mode) ? 0 : -2;
    if (KVCompat_mkdir(path, 0777) == 0) return 0;
    // Someone else may have made it between the two calls.
    if (errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return -1;
}

} // extern "C"

const char *kuvra::internal::program_directory() {
    return program_dir_known ? program_dir : nullptr;
}
