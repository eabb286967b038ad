// Where a log's bytes come from: the buffer, grown for a long line, and a
// whole file or one chunk of it.
#include "read/log_bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/open_file.h"

int line_buffer_init(line_buffer& lb, size_t capacity)
{
    if (capacity == 0)
        capacity = 1;
    lb.data = static_cast<char*>(std::malloc(capacity + 1));
    if (lb.data == nullptr)
        return ENOMEM;
    lb.capacity = capacity;
    lb.begin = 0;
    lb.end = 0;
    return 0;
}

void line_buffer_free(line_buffer& lb)
{
    std::free(lb.data);
    lb = line_buffer{};
}

// Moves the unfinished line to the front of the buffer, to read on after
// it. Returns false when that line fills the buffer.
bool make_room(line_buffer& lb)
{
    if (lb.begin > 0) {
        std::memmove(lb.data, lb.data + lb.begin, lb.end - lb.begin);
        lb.end -= lb.begin;
        lb.begin = 0;
    }
    return lb.end < lb.capacity;
}


byte_source whole_file(int fd)
{
    return byte_source{fd};
}

byte_source chunk_of(int fd, long long from, long long to)
{
    byte_source src{fd};
    src.chunk = true;
    src.from = from;
    src.to = to;
    src.at = from > 0 ? from - 1 : 0;
    src.started = from == 0;
    return src;
}

// The next bytes of a chunk into [to, to + room): what follows its end
// is cut off. Returns the bytes, 0 at the chunk's end, or -1 with errno.
ssize_t read_chunk(byte_source& src, char* to, size_t room)
{
    for (;;) {
        if (src.ended)
            return 0;
        // Looking for where the chunk starts, what lies past to - 1 can't
        // be the chunk's: a chunk inside a long line reads little.
        size_t want = room;
        if (!src.started && src.to - src.at < static_cast<long long>(room))
            want = static_cast<size_t>(src.to - src.at);
        ssize_t n = read_at(src.fd, to, want, src.at);
        if (n <= 0)
            return n;
        long long at = src.at;
        src.at += n;
        char* begin = to;
        if (!src.started) {
            // Up to and through the newline that ends the last line of the
            // chunk before; where it is the newline that ends this chunk
            // too, the chunk holds no line.
            char* nl = static_cast<char*>(std::memchr(to, '\n', static_cast<size_t>(n)));
            long long nl_at = nl != nullptr ? at + (nl - to) : src.at;
            if (nl_at >= src.to - 1) {
                src.ended = nl != nullptr || src.at >= src.to;
                if (src.ended)
                    return 0;
                continue;
            }
            if (nl == nullptr)
                continue;
            src.started = true;
            begin = nl + 1;
        }
        long long begin_at = at + (begin - to);
        long long look_from = src.to - 1 > begin_at ? src.to - 1 : begin_at;
        if (look_from < src.at) {
            char* look = to + (look_from - at);
            char* nl = static_cast<char*>(std::memchr(look, '\n', static_cast<size_t>(to + n - look)));
            if (nl != nullptr) {
                n = nl + 1 - to;
                src.ended = true;
            }
        }
        size_t kept = static_cast<size_t>(to + n - begin);
        if (begin != to)
            std::memmove(to, begin, kept);
        if (kept > 0)
            return static_cast<ssize_t>(kept);
    }
}

// Reads into the buffer after what it holds. Returns the bytes read, 0 at
// the end of the file or chunk, or -1 with errno set.
ssize_t read_more(byte_source& src, line_buffer& lb)
{
    if (src.chunk)
        return read_chunk(src, lb.data + lb.end, lb.capacity - lb.end);
    ssize_t n;
    while ((n = read(src.fd, lb.data + lb.end, lb.capacity - lb.end)) < 0 && errno == EINTR) {
    }
    src.at += n > 0 ? n : 0;
    return n;
}

unsigned long long line_number_at(const char* name, long long offset)
{
    struct stat st;
    int fd = stat(name, &st) == 0 && S_ISREG(st.st_mode) ? open_file(name, O_RDONLY | O_NOCTTY) : -1;
    if (fd < 0)
        return 0;
    static char block[65536];
    unsigned long long lines = 1;
    for (long long at = 0; at < offset;) {
        size_t want = static_cast<size_t>(std::min<long long>(offset - at, sizeof block));
        ssize_t n = read_at(fd, block, want, at);
        if (n <= 0) {
            lines = 0;
            break;
        }
        for (const char* p = block; (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(block + n - p)))) != nullptr; ++p)
            ++lines;
        at += n;
    }
    close(fd);
    return lines;
}

int grow_buffer(line_buffer& lb)
{
    if (lb.capacity > max_line_length)
        return EFBIG;
    size_t capacity = lb.capacity < (max_line_length + 1) / 2 ? lb.capacity * 2 : max_line_length + 1;
    char* data = static_cast<char*>(std::realloc(lb.data, capacity + 1));
    if (data == nullptr)
        return ENOMEM;
    lb.data = data;
    lb.capacity = capacity;
    return 0;
}
