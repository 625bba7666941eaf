/* Starts a program N times, one after another, with its standard output on
 * /dev/null, and prints the mean wall time of one run in microseconds and
 * the largest peak memory (maxrss, KiB) of a run. Used by diskrelay_bench.py,
 * built static: launching costs little, and a child's maxrss counts the
 * launcher's own memory, which must stay far below the child's. */
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <fcntl.h>

extern char **environ;

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s COUNT PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    int count = atoi(argv[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    long max_rss = 0;
    for (int i = 0; i < count; ++i) {
        pid_t pid;
        int status;
        struct rusage usage;
        if (posix_spawn(&pid, argv[2], &actions, NULL, argv + 2, environ) != 0 ||
            wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "run %d of %s failed\n", i, argv[2]);
            return 1;
        }
        if (usage.ru_maxrss > max_rss)
            max_rss = usage.ru_maxrss;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double us = (t1.tv_sec - t0.tv_sec) * 1e6 + (t1.tv_nsec - t0.tv_nsec) / 1e3;
    printf("%.1f %ld\n", us / count, max_rss);
    return 0;
}
