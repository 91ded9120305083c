/* SPDX-License-Identifier: MIT */
/* A minimal host: checks the files given, merges them into the output
 * with a progress line, and prints the result and a probe of the output.
 *
 *   merge_files OUT IN1 IN2 [IN3 ...]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <videomerge.h>

static void pause_briefly(void)
{
    struct timespec ts = {0, 50 * 1000 * 1000};
    nanosleep(&ts, NULL);
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s OUT IN1 IN2 [IN3 ...]\n", argv[0]);
        return 2;
    }
    /* The library takes its inputs as one list, a path per line. */
    size_t size = 1;
    for (int i = 2; i < argc; i++)
        size += strlen(argv[i]) + 1;
    char *list = calloc(size, 1);
    if (!list)
        return 1;
    for (int i = 2; i < argc; i++) {
        strcat(list, argv[i]);
        strcat(list, "\n");
    }

    printf("videomerge %s\n", videomerge_version());
    printf("check: %s\n", videomerge_check(list));
    int id = videomerge_start(list, argv[1]);
    free(list);
    if (id < 0) {
        fprintf(stderr, "cannot start the merge (code %d)\n", id);
        return 1;
    }
    int state;
    while ((state = videomerge_status(id)) < VIDEOMERGE_STATE_DONE) {
        printf("\rprogress: %s", videomerge_progress(id));
        fflush(stdout);
        pause_briefly();
    }
    printf("\rprogress: %s\n", videomerge_progress(id));
    printf("result: %s\n", videomerge_result(id));
    videomerge_free(id);
    if (state != VIDEOMERGE_STATE_DONE)
        return 1;
    printf("probe: %s\n", videomerge_probe(argv[1]));
    return 0;
}
