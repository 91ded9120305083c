/* SPDX-License-Identifier: MIT */
/* A Windows host built against the SDK zip alone: probes its first input,
 * merges the inputs into the output and prints the library's answers.
 *   sdk_host OUT IN1 IN2...   exit 0 when the probe and the merge succeed */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <videomerge.h>

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: sdk_host OUT IN1 IN2...\n");
        return 2;
    }
    printf("%s\n", videomerge_version());
    const char *probe = videomerge_probe(argv[2]);
    printf("%s\n", probe);
    if (!strstr(probe, "\"ok\":true"))
        return 1;

    size_t len = 0;
    for (int i = 2; i < argc; i++)
        len += strlen(argv[i]) + 1;
    char *list = calloc(len + 1, 1);
    if (!list)
        return 1;
    for (int i = 2; i < argc; i++) {
        strcat(list, argv[i]);
        strcat(list, "\n");
    }
    int id = videomerge_start(list, argv[1]);
    free(list);
    if (id < 0) {
        fprintf(stderr, "start: %d\n", id);
        return 1;
    }
    int state;
    while ((state = videomerge_status(id)) < VIDEOMERGE_STATE_DONE)
        Sleep(10);
    printf("%s\n", videomerge_result(id));
    videomerge_free(id);
    return state == VIDEOMERGE_STATE_DONE ? 0 : 1;
}
