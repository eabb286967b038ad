// The process entry: the command line to the run, its status to the shell.
#include "cli/run.h"

int main(int argc, char** argv)
{
    return run(argc, argv);
}
