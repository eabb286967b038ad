/* Times two commands side by side: runs A and B in turn, RUNS times each,
 * with standard output and error to /dev/null (a failure is still told by
 * its status), and prints each one's median wall time
 * and median CPU time (user and system, which leaves out time the machine's
 * other guests took) in microseconds: wall A, wall B, CPU A, CPU B.
 *
 *   alternate RUNS DIR A... -- B...
 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static double now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static double run(char **argv, posix_spawn_file_actions_t *actions, double *cpu)
{
    pid_t pid;
    int status;
    struct rusage usage;
    double start = now_us();
    if (posix_spawn(&pid, argv[0], actions, NULL, argv, environ) != 0) {
        perror(argv[0]);
        exit(1);
    }
    wait4(pid, &status, 0, &usage);
    double elapsed = now_us() - start;
    *cpu = usage.ru_utime.tv_sec * 1e6 + usage.ru_utime.tv_usec + usage.ru_stime.tv_sec * 1e6 +
           usage.ru_stime.tv_usec;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed\n", argv[0]);
        exit(1);
    }
    return elapsed;
}

static int by_value(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: alternate RUNS DIR A... -- B...\n");
        return 2;
    }
    int runs = atoi(argv[1]);
    if (chdir(argv[2]) != 0) {
        perror(argv[2]);
        return 1;
    }
    char **a = argv + 3, **b = NULL;
    for (int i = 3; i < argc; ++i)
        if (strcmp(argv[i], "--") == 0) {
            argv[i] = NULL;
            b = argv + i + 1;
        }
    if (b == NULL || *b == NULL) {
        fprintf(stderr, "usage: alternate RUNS DIR A... -- B...\n");
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    double *ta = malloc(sizeof *ta * runs), *tb = malloc(sizeof *tb * runs);
    double *ca = malloc(sizeof *ca * runs), *cb = malloc(sizeof *cb * runs);
    for (int i = 0; i < runs; ++i) {
        ta[i] = run(a, &actions, &ca[i]);
        tb[i] = run(b, &actions, &cb[i]);
    }
    qsort(ta, runs, sizeof *ta, by_value);
    qsort(tb, runs, sizeof *tb, by_value);
    qsort(ca, runs, sizeof *ca, by_value);
    qsort(cb, runs, sizeof *cb, by_value);
    printf("%.1f %.1f %.1f %.1f\n", ta[runs / 2], tb[runs / 2], ca[runs / 2], cb[runs / 2]);
    return 0;
}
