// Opening, making and judging the files a run reads and writes, in
// directories that other users may share.
#ifndef ENERGY_TOTALS_OPEN_FILE_H
#define ENERGY_TOTALS_OPEN_FILE_H

#include <cstddef>

#include <sys/stat.h>
#include <sys/types.h>

// Opens path as open(2) does (mode for a file it makes), close-on-exec, always on a descriptor above
// the standard three: where one of those was closed and could not be given
// /dev/null, a log or the table opened in its place would receive what the
// tool writes to it. Returns the descriptor, or -1 with errno set.
int open_file(const char* path, int flags, unsigned mode = 0);

// The owner of the symbolic link at path, or -1 where path is none.
long link_owner(const char* path);

// Opens path as open_file does, following a symbolic link in its place
// only where the running user owns the link: in a shared directory anyone
// may put a link where a file is yet to be made, and the run would write
// wherever it points. Returns the descriptor, or -1 with errno set (EPERM
// for another user's link).
int open_not_through_others_link(const char* path, int flags, unsigned mode = 0);

// Makes a new file for reading and writing beside target, under a name of its own
// (target's name, a dot, 16 random hex digits, ".new"), exclusively and
// without following a link, so that nothing planted under a foreseeable
// name is written through. Its name goes to temp (size bytes). Returns the
// descriptor, or -1 with errno set.
int make_temporary(const char* target, char* temp, size_t size, unsigned mode);

// Whether whoever made made (its owner and group) could have written file:
// the owner of file, or root; of its group where the group may write it; or
// anyone where all may. Only such a file is acted on beside a table: what
// another user planted there is never taken for a run's own.
bool made_by_a_writer_of(const struct stat& made, const struct stat& file);

// Reads up to size bytes at offset of fd, carrying on after short reads
// and EINTR; returns how many (fewer only at the file's end), or -1 with
// errno set.
ssize_t read_at(int fd, char* buf, size_t size, long long offset);

// Writes all of buf, carrying on after short writes and EINTR. Returns 0 or
// errno.
int write_all(int fd, const char* buf, size_t size);

#endif
