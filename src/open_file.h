// Opening the files a run reads and writes.
#ifndef ENERGY_TOTALS_OPEN_FILE_H
#define ENERGY_TOTALS_OPEN_FILE_H

// Opens path as open(2) does (mode for a file it makes), close-on-exec, always on a descriptor above
// the standard three: where one of those was closed and could not be given
// /dev/null, a log or the table opened in its place would receive what the
// tool writes to it. Returns the descriptor, or -1 with errno set.
int open_file(const char* path, int flags, unsigned mode = 0);

#endif
