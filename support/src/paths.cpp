// Install path and search paths: where the program lives, $(NAME) expansion,
// and finding files through '|'-separated lists of directory templates.
#include <kuvra/fileutil.h>

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
// directory of the first runnable match in prog_path.  Candidates that do not
// fit the work buffer are passed over.
void find_on_path(std::string_view path, const char *name) {
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
            return;
        }
        if (colon == std::string_view::npos) return;
        path.remove_prefix(colon + 1);
    }
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
        if (strlen(argv0) < sizeof prog_path)
            copy_whole(prog_path, sizeof prog_path, std::string_view(argv0, size_t(slash - argv0)));
    } else if (path_env) {
        find_on_path(path_env, argv0);
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
