/* SPDX-License-Identifier: MIT */
/* A plain C host of the installed library. */
#include <stdio.h>
#include <string.h>

#include <videomerge.h>

int main(void)
{
    static const char prefix[] = VIDEOMERGE_VERSION_STRING " (libavformat ";
    const char *v = videomerge_version();
    printf("%s\n", v);
    return strncmp(v, prefix, sizeof prefix - 1) == 0 &&
                   videomerge_status(0) == -1
               ? 0
               : 1;
}
