/* A program of the product outside this tree, built against an installed
 * kuvra: prints what two library calls give. */
#include <kuvra/filetype.h>
#include <kuvra/fileutil.h>

#include <stdio.h>

int main(void) {
    char buf[4];
    const char *cut = vr_strncpy(buf, "abcdef", sizeof buf);
    printf("%s %s %s\n", magictomime(KV_MAGIC_PNG), buf, cut ? "whole" : "cut");
    return 0;
}
