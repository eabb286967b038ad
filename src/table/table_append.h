// The results table: appending one row so that it is in exactly once or not
// at all, with a record of the append kept beside the table while it is
// under way.
#ifndef ENERGY_TOTALS_TABLE_APPEND_H
#define ENERGY_TOTALS_TABLE_APPEND_H

#include <cstddef>
#include <cstdio>

// The append record. Before a run changes the table it writes, beside the
// table (its real path followed by ".append"), what it is about to do: the
// table's inode, the length the table has where the row starts, the bytes
// it will write there, and the bytes there that it cuts, which a run
// stopped part way through its own append left. The record is written to
// a file of its own under a fresh name, synced and renamed into place, so
// that it is whole or absent; the row is written and synced; then the
// record goes. A run that takes the lock and finds a record settles it:
// the recorded bytes all there → they stay; part of them, or the bytes it
// was to cut → the table is cut back to the recorded length; anything else
// → the table was changed since by someone else, and nothing is cut. Only
// a record made by a user who may write the table is settled (a link, or
// another user's file, is named and ignored), and the other file of its
// append is cut only where that user may write it too and the bytes are
// one line of a case's record.
// The most bytes one append writes: a row, or a run's row with its phases'
// and nodes' rows; and the most its record (--record) may be, which for a
// case of 64 nodes of 8 GPUs is some 300 kB.
constexpr size_t max_append_size = 1024 * 1024;

struct append_record {
    unsigned long long inode = 0;
    long long start = 0;  // the table's length where the written bytes start
    size_t write_size = 0;
    size_t cut_size = 0;
    // The file appended in the same step (append_also), where there is
    // one: its real path, inode, length where its bytes start, and their
    // size; they follow the cut bytes.
    char also_path[4096] = {};
    unsigned long long also_inode = 0;
    long long also_start = 0;
    size_t also_size = 0;
    char bytes[3 * (max_append_size + 1) + 1]; // what is written, what is cut, the other file's
};

// A file appended in the same step as the row (the run's record): its
// bytes go in, synced, before the row; a run stopped before the row was
// whole leaves an append record by which the next run takes them out again
// with the row's part. The file is made where missing, locked after the
// table, and where its last line has no newline one goes first.
struct append_also {
    const char* path;
    const char* bytes;
    size_t size;
    int* failed = nullptr; // where set, the errno of a step on this file that failed the append
};

// Whether p (n bytes) is one line of a case's record as --record appends
// it: {"schema":N,"tool":"energy-totals",...} and its newline.
bool is_record_line(const char* p, size_t n);

// Writes r as its file holds it into buf; returns the length, or 0 where
// it does not fit.
size_t format_append_record(const append_record& r, char* buf, size_t size);

// What a record's file holds: a record of this tool's (whole), the start
// of one (a file cut short or made and not yet written), or something else.
enum record_kind : int { record_whole, record_torn, record_foreign };

int parse_append_record(const char* p, size_t size, append_record* r);

// What the table's end shows of a whole record, the table being size bytes
// long and its bytes from r.start on being tail (tail_size bytes, the most
// that was read).
enum record_state : int {
    record_written, // all the recorded bytes are there: they stay
    record_part,    // part of them, or of the bytes to cut: cut back to r.start
    record_nothing, // the table ends where the record starts
    record_stale,   // the table was changed since: nothing is cut
};

int settle_state(const append_record& r, unsigned long long inode, long long size, const char* tail,
                 size_t tail_size);

// Appends row (size bytes, whole rows, at most max_append_size: EOVERFLOW
// where more) to the existing table `name`, which
// it never creates. Parallel runs may append to one table: each holds an
// exclusive lock on it while it writes, and a table whose file system has
// no working locks is an error. Under the lock, a record left by a run that
// stopped is settled; then, where the table's last line has no newline, the
// row is joined to it if it ends in a tab or blank (a caller's prefix),
// else a newline goes first. Room for the row is checked before its first
// byte; the record is written, then the row, and both are synced; if any of
// that fails, the table is put back as it was. Returns 0 once the row is on
// disk, else the errno of the step that failed; where the table could not
// be put back, *undo_error is set to the errno of that (the record stays,
// and the next run settles it).
//
// Nothing is written to notices while the lock is held: what the append
// has to say goes there once the lock is let go.
//
// From just before the table is first changed, every signal that can be
// held is held, and stays so when it returns: the caller is about to exit,
// and a signal let in after the row was synced would make a written row
// look like a failed run. A FIFO takes a row under PIPE_BUF whole or not at
// all, so there signals are held only once the row is in.
//
// With once (the row's label), a table that already holds a row of the
// run's shape (figures, the three tabs after cpus CPUs, then that label)
// gets nothing: it returns 0 with *skipped set, having said so on notices.
//
// With also, its bytes are appended to its file in the same step: both
// are in, or neither (a FIFO or device table takes no also). With also and
// no row (size 0), the record alone goes in under the table's lock, after
// a stopped run's append is settled, so that it never lands behind a line
// that run's settling would take out.
//
// Each write goes at the end of its file as that file is, once the run has
// seen that its lock still holds and the file is as long as it read it: a
// run stopped past the lock file's stale rule and resumed never writes over
// another run's line. Where it finds the lock lost it says what it wrote;
// ENOLCK where its row is not in.
int append_results_row(const char* name, const char* row, size_t size, int* undo_error,
                       FILE* notices = stderr, const char* once = nullptr,
                       bool* skipped = nullptr, int figures = 9, int cpus = 2,
                       const append_also* also = nullptr);

// Appends bytes (whole lines) to the file of lines at path, made where
// missing and reached through no other user's symbolic link, as
// append_results_row appends a row, except that a newline goes first
// wherever the last line has none. Returns 0 or errno.
int append_line(const char* path, const char* bytes, size_t size, FILE* notices = stderr);

// Called, where set, after the row is written and before it is synced;
// and before the record file's bytes (0) and the row (1) are written, once
// the run has looked at its lock: tests stall a run there.
extern void (*before_row_sync)();
extern void (*before_write)(int which);

#endif
