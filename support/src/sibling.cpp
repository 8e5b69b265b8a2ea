// The programs of the installation, found next to the running program first.
#include <kuvra/fileutil.h>
#include <kuvra/internal/sibling.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kuvra::internal {

namespace {

// Executable and no directory, as an exec by path would take it.
bool runnable(const std::string &path) {
    struct stat st;
    return access(path.c_str(), X_OK) == 0 && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool put(const std::string &what, char *out, size_t size) {
    if (what.size() >= size) return false;
    memcpy(out, what.c_str(), what.size() + 1);
    return true;
}

// name in dir, when it is runnable there.
bool in_directory(const std::string &dir, const char *name, char *out, size_t size) {
    std::string candidate = (dir.empty() || dir.back() != '/' ? dir + "/" : dir) + name;
    return runnable(candidate) && put(candidate, out, size);
}

// name on PATH, as execvp would find it.
bool on_path(const char *name) {
    const char *path = getenv("PATH");
    if (!path) return false;
    std::string p = path;
    for (size_t start = 0;;) {
        size_t colon = p.find(':', start);
        std::string dir = p.substr(start, colon == std::string::npos ? colon : colon - start);
        if (runnable((dir.empty() ? std::string(".") : dir) + "/" + name)) return true;
        if (colon == std::string::npos) return false;
        start = colon + 1;
    }
}

} // namespace

bool find_sibling(const char *name, const char *env, char *out, size_t size) {
    if (const char *given = env ? getenv(env) : nullptr; given && *given) {
        if (!put(given, out, size)) return false;
        return strchr(given, '/') ? runnable(given) : on_path(given);
    }
    if (const char *dir = program_directory(); dir && in_directory(dir, name, out, size))
        return true;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string self(exe, size_t(n));
        if (size_t slash = self.rfind('/');
            slash != std::string::npos && in_directory(self.substr(0, slash), name, out, size))
            return true;
    }
    return put(name, out, size) && on_path(name);
}

} // namespace kuvra::internal
