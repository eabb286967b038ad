/* Times two commands side by side: runs A and B in turn, RUNS times each,
 * with standard output to /dev/null, and prints each one's median wall time
 * in microseconds.
 *
 *   alternate RUNS DIR A... -- B...
 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

static double run(char **argv, posix_spawn_file_actions_t *actions)
{
    pid_t pid;
    int status;
    double start = now_us();
    if (posix_spawn(&pid, argv[0], actions, NULL, argv, environ) != 0) {
        perror(argv[0]);
        exit(1);
    }
    waitpid(pid, &status, 0);
    double elapsed = now_us() - start;
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
    double *ta = malloc(sizeof *ta * runs), *tb = malloc(sizeof *tb * runs);
    for (int i = 0; i < runs; ++i) {
        ta[i] = run(a, &actions);
        tb[i] = run(b, &actions);
    }
    qsort(ta, runs, sizeof *ta, by_value);
    qsort(tb, runs, sizeof *tb, by_value);
    printf("%.1f %.1f\n", ta[runs / 2], tb[runs / 2]);
    return 0;
}
