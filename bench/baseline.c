/* The plain way to read a case: getline and strtod, line by line, by the
 * same rules as energy-totals. The benchmark's yardstick; it prints the same
 * nine lines. */
#include <stdio.h>
#include <stdlib.h>

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

int main(int argc, char **argv)
{
    if (argc != 4) {
        puts("usage: filename case# write id");
        return -1;
    }
    char name[4096];
    double total = 0, cpu1 = 0, cpu2 = 0, gpu1 = 0;
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

    f = fopen("gpupower1.out", "r");
    if (!f)
        return -1;
    while (getline(&line, &cap, f) != -1)
        gpu1 = reading(line) * 0.1 + gpu1;
    fclose(f);
    free(line);

    printf("total energy: %f\nCPU1: %f\nCPU2: %f\ntotal CPU: %f\nGPU1: %f\n"
           "GPU2: %f\nGPU3: %f\nGPU4: %f\ntotal GPU: %f\n",
           total, cpu1, cpu2, cpu1 + cpu2, gpu1, 0.0, 0.0, 0.0, gpu1 + 0.0);
    return 0;
}
