// Bounded strings and thin platform shims.
#include <kuvra/fileutil.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {

char *vr_strncpy(char *dst, const char *src, size_t size) {
    if (size == 0) return nullptr;
    // strncpy fills the rest with NULs; callers rely on the whole buffer being defined.
    strncpy(dst, src, size);
    dst[size - 1] = '\0';
    return strlen(src) < size ? dst : nullptr;
}

char *vr_strncat(char *dst, const char *src, size_t size) {
    if (size == 0) return nullptr;
    size_t len = strnlen(dst, size);
    if (len >= size) return nullptr;
    size_t room = size - len;
    strncpy(dst + len, src, room);
    dst[size - 1] = '\0';
    return strlen(src) < room ? dst : nullptr;
}

char *vr_strcasestr(const char *haystack, const char *needle) {
    size_t n = strlen(needle);
    if (n == 0) return const_cast<char *>(haystack);
    for (const char *p = haystack; *p; ++p)
        if (strncasecmp(p, needle, n) == 0) return const_cast<char *>(p);
    return nullptr;
}

int KVCompat_mkstemp(char *buf, size_t size, const char *prefix) {
    if (size == 0) return -1;
    int n = snprintf(buf, size, "%s/%sXXXXXX", KV_SPOOL_DIR, prefix);
    // A cut template no longer ends in the six X that mkstemp replaces.
    if (n < 0 || size_t(n) >= size) return -1;
    return mkstemp(buf);
}

int KVCompat_LockWholeFile(int fd, int type) {
    struct flock fl {};
    fl.l_type = short(type);
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fcntl(fd, F_SETLKW, &fl);
}

int KVCompat_mkdir(const char *path, mode_t mode) {
    return mkdir(path, mode);
}

} // extern "C"
