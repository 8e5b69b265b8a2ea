/* Compiled as C11: every public header, and one call into each. */
#include <kuvra/debuglog.h>
#include <kuvra/filetype.h>
#include <kuvra/fileutil.h>
#include <kuvra/pipes.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    char buf[8];
    int failures = 0;
    if (vr_strncpy(buf, "abc", sizeof buf) != buf || strcmp(buf, "abc") != 0) failures++;
    if (strcmp(magictomime(KV_MAGIC_PNG), "image/png") != 0) failures++;
    if (pipethrough_catch_SIGCHLD() != 0) failures++;
    debug_init();
    if (debug_enable(KV_CAT_LOADSAVE, KV_SEV_ERROR) != KV_SEV_ERROR) failures++;
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_INFO, "from C %d\n", 1);
    if (debugentry_inmem_index != 1) failures++;
    debug_exit();
    if (failures) fprintf(stderr, "%d C header checks failed\n", failures);
    return failures != 0;
}
