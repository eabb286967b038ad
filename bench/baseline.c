/* The plain way to read a case: getline and strtod, line by line, by the
 * same rules as energy-totals. The benchmark's yardstick; it prints the same
 * nine lines. With --gpu-time=stamps, gpupower1.out holds "SECONDS.FRACTION,
 * WATTS" lines; with --gpu-log=FILE, FILE holds a header, then "SECONDS.
 * FRACTION, INDEX, WATTS W" lines of GPUs 0 to 3: each GPU integrated by the
 * trapezoid rule over its stamps, as energy-totals does. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/* The reading at p, or 0 where the line ends first. */
static double reading(const char *p)
{
    while (is_space(*p) && *p != '\n')
        ++p;
    return *p == '\n' ? 0.0 : strtod(p, NULL);
}

static const char *skip_field(const char *p)
{
    while (*p && !is_space(*p))
        ++p;
    while (*p && *p != '\n' && is_space(*p))
        ++p;
    return p;
}

/* A stamp of seconds since the epoch, to the nanosecond. */
static long long stamp_ns(const char *p, char **end)
{
    long long ns = strtoll(p, end, 10) * 1000000000LL;
    if (**end == '.') {
        long long scale = 100000000;
        for (++*end; **end >= '0' && **end <= '9'; ++*end, scale /= 10)
            ns += (**end - '0') * scale;
    }
    return ns;
}

/* The trapezoid from the last point to (ns, watts), added to *energy. */
static void trapezoid(double *energy, long long *last_ns, double *last, long long ns, double watts)
{
    if (*last_ns >= 0)
        *energy = (*last + watts) * ((double)(ns - *last_ns) / 1e9) * 0.5 + *energy;
    *last_ns = ns;
    *last = watts;
}

int main(int argc, char **argv)
{
    int stamps = argc > 1 && strcmp(argv[1], "--gpu-time=stamps") == 0;
    const char *one_log = argc > 1 && strncmp(argv[1], "--gpu-log=", 10) == 0 ? argv[1] + 10 : NULL;
    if (stamps || one_log) {
        ++argv;
        --argc;
    }
    if (argc != 4) {
        puts("usage: filename case# write id");
        return -1;
    }
    char name[4096];
    double total = 0, cpu1 = 0, cpu2 = 0, gpu[4] = {0, 0, 0, 0}, gpu1 = 0;
    char *line = NULL;
    size_t cap = 0;
    ssize_t n;

    snprintf(name, sizeof name, "%s.total.pwr", argv[1]);
    FILE *f = fopen(name, "r");
    if (!f)
        return -1;
    while ((n = getline(&line, &cap, f)) != -1) {
        const char *p = line, *end = line + n;
        int count = 0;
        while (p < end && count < 2)
            if (is_space(*p++))
                count++;
        total = (count == 2 && p[-1] != '\n' ? reading(p) : 0.0) * 0.5 + total;
    }
    fclose(f);

    snprintf(name, sizeof name, "%s.cpu.pwr", argv[1]);
    f = fopen(name, "r");
    if (!f)
        return -1;
    if (getline(&line, &cap, f) != -1) {
        while (getline(&line, &cap, f) != -1) {
            const char *p = line;
            while (*p && *p != '\n' && is_space(*p))
                ++p;
            p = skip_field(skip_field(p));
            cpu1 = reading(p) + cpu1;
            for (int i = 0; i < 4; ++i)
                p = skip_field(p);
            cpu2 = reading(p) + cpu2;
        }
    }
    fclose(f);

    f = fopen(one_log ? one_log : "gpupower1.out", "r");
    if (!f)
        return -1;
    long long last_ns[4] = {-1, -1, -1, -1};
    double last[4];
    if (one_log && getline(&line, &cap, f) == -1)
        return -1;
    while (getline(&line, &cap, f) != -1) {
        char *p;
        if (stamps) {
            long long ns = stamp_ns(line, &p);
            trapezoid(&gpu[0], &last_ns[0], &last[0], ns, strtod(p + 1, NULL));
        } else if (one_log) {
            long long ns = stamp_ns(line, &p);
            long k = strtol(p + 1, &p, 10);
            trapezoid(&gpu[k], &last_ns[k], &last[k], ns, strtod(p + 1, NULL));
        } else {
            gpu1 = reading(line) * 0.1 + gpu1;
        }
    }
    fclose(f);
    free(line);
    if (stamps || one_log)
        gpu1 = gpu[0];
    int gpus = one_log ? 4 : 1;
    printf("total energy: %f\nCPU1: %f\nCPU2: %f\ntotal CPU: %f\nGPU1: %f\n"
           "GPU2: %f\nGPU3: %f\nGPU4: %f\ntotal GPU: %f\n",
           total, cpu1, cpu2, cpu1 + cpu2, gpu1, gpus > 1 ? gpu[1] : 0.0, gpus > 2 ? gpu[2] : 0.0,
           gpus > 3 ? gpu[3] : 0.0, ((gpu1 + (gpus > 1 ? gpu[1] : 0.0)) + (gpus > 2 ? gpu[2] : 0.0)) + (gpus > 3 ? gpu[3] : 0.0));
    return 0;
}
