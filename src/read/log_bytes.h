// Where a log's bytes come from: the line buffer they are read into,
// grown for a long line up to a bound, and a whole file or one chunk of a
// regular file.
#ifndef ENERGY_TOTALS_LOG_BYTES_H
#define ENERGY_TOTALS_LOG_BYTES_H

#include <cstddef>

#include <sys/types.h>

// The byte buffer, reused by the readers in turn. It holds the bytes last
// read from a log: the line most recently read, and those after it that
// arrived with it. It starts at default_line_buffer_size and grows only for
// a line longer than it (grow_buffer). One byte past `capacity` is kept
// spare, so a last line without a newline can be given one.
struct line_buffer {
    char* data = nullptr;
    size_t capacity = 0;
    size_t begin = 0; // first byte not yet taken as part of a line
    size_t end = 0;   // one past the last byte read
};

// The size a run's buffer starts at: large enough that reads are few, small
// enough that a short run does not pay for it.
constexpr size_t default_line_buffer_size = 64 * 1024;

// Allocates room for `capacity` bytes (at least 1). Returns 0, or ENOMEM.
int line_buffer_init(line_buffer& lb, size_t capacity);

// Releases the buffer; safe on one that never got its memory.
void line_buffer_free(line_buffer& lb);

// Where a read loop's bytes come from: a file read on from where it stands
// (read(2), so a FIFO too), or one chunk of a regular file (pread(2)). A
// chunk holds the lines that start at an offset in [from, to): it begins
// after the first newline at or after from - 1 (at 0 where from is 0), and
// ends with the first newline at or after to - 1, or at the end of the
// file. A line that crosses to - 1 is the chunk's; one that starts at or
// after to is the next chunk's, which sees the same newline from the other
// side. So the chunks of a file, [0, c), [c, 2c), ..., hold each line once,
// whole, and in order.
struct byte_source {
    int fd;
    bool chunk = false;
    long long from = 0;
    long long to = 0;
    long long at = 0;     // the next byte to read
    bool started = false; // the chunk's first line found
    bool ended = false;   // its last newline read
};

// A whole file, read on from where it stands; one chunk of a regular file.
byte_source whole_file(int fd);
byte_source chunk_of(int fd, long long from, long long to);

// Moves the unfinished line to the front of the buffer, to read on after
// it. Returns false when that line fills the buffer.
bool make_room(line_buffer& lb);

// Reads into the buffer after what it holds. Returns the bytes read, 0 at
// the end of the file or chunk, or -1 with errno set.
ssize_t read_more(byte_source& src, line_buffer& lb);

// The longest line a log may hold: nothing real writes one near it, and a
// longer one (a file of NUL bytes a crash left, a wrong file) would take
// the run's memory.
constexpr size_t max_line_length = size_t{64} << 20;

// The number of the line that starts at offset in the regular file name,
// counted again from its start; 0 where it can't be read.
unsigned long long line_number_at(const char* name, long long offset);

// Doubles the buffer, for a line that fills it, up to max_line_length and
// its newline. Returns 0, ENOMEM, or EFBIG where the line is longer.
int grow_buffer(line_buffer& lb);

#endif
