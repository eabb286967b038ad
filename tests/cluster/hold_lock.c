/* Holds an exclusive fcntl lock on a file, the kind energy-totals takes;
 * prints "locked" once it has it, then keeps it for SECONDS and until every
 * WAIT_FOR path exists (two minutes at the most).
 *
 *   hold_lock FILE SECONDS [WAIT_FOR...]
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static int all_exist(int count, char** paths)
{
    for (int i = 0; i < count; ++i)
        if (access(paths[i], F_OK) != 0)
            return 0;
    return 1;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fputs("usage: hold_lock FILE SECONDS [WAIT_FOR...]\n", stderr);
        return 2;
    }
    int fd = open(argv[1], O_RDWR);
    struct flock lock = {.l_type = F_WRLCK, .l_whence = SEEK_SET};
    if (fd < 0 || fcntl(fd, F_SETLKW, &lock) != 0) {
        perror(argv[1]);
        return 1;
    }
    printf("locked\n");
    fflush(stdout);
    usleep((useconds_t)(atof(argv[2]) * 1e6));
    time_t deadline = time(NULL) + 120;
    while (time(NULL) < deadline && !all_exist(argc - 3, argv + 3))
        usleep(100000);
    return 0;
}
