#include "power_logs.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Each byte's class, looked up: one load and test a byte is the cheapest
// walk there is, and walking is much of the work of a line.
enum : unsigned char { field_byte = 0, blank_byte = 1, newline_byte = 2 };

struct byte_classes {
    unsigned char of[256];
};

constexpr byte_classes make_byte_classes()
{
    byte_classes c{};
    // The whitespace of the POSIX locale: space, \t, \n, \v, \f, \r.
    const char blanks[] = {' ', '\t', '\v', '\f', '\r'};
    for (char b : blanks)
        c.of[static_cast<unsigned char>(b)] = blank_byte;
    c.of[static_cast<unsigned char>('\n')] = newline_byte;
    return c;
}

constexpr byte_classes classes = make_byte_classes();

inline unsigned char class_of(char c)
{
    return classes.of[static_cast<unsigned char>(c)];
}

inline bool is_space(char c)
{
    return class_of(c) != field_byte;
}

// Whitespace that does not end the line.
inline bool is_blank(char c)
{
    return class_of(c) == blank_byte;
}

inline bool is_digit(char c)
{
    return static_cast<unsigned char>(c - '0') < 10;
}

inline const char* skip_blanks(const char* p)
{
    while (is_blank(*p))
        ++p;
    return p;
}

// Skips one field and the whitespace after it, stopping at the newline.
inline const char* skip_field(const char* p)
{
    while (!is_space(*p))
        ++p;
    return skip_blanks(p);
}

// Returns the start of the next line, given a position in this one; end
// is past the line's newline. Most lines end a few bytes after their
// reading; memchr takes a long rest much faster than a byte loop.
inline const char* next_line(const char* p, const char* end)
{
    for (int i = 0; i < 16; ++i, ++p)
        if (*p == '\n')
            return p + 1;
    return static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p))) + 1;
}

// Powers of ten that are exact doubles.
constexpr double exact_powers_of_ten[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};

// strtod on the bytes at p, which are not whitespace. The line's newline
// ends any number, so strtod stops at or before it.
double parse_with_strtod(const char* p, const char** end)
{
    char* stop = nullptr;
    double value = std::strtod(p, &stop);
    *end = stop;
    return value;
}

// The whole grammar, from s, the first byte after the blanks at p: signs,
// exponents, hexadecimal, inf and nan, and digit strings of any length.
// Out of line, so the common case below stays small enough to inline.
[[gnu::noinline]] double parse_general(const char* p, const char* s, const char** end)
{
    const char* start = s;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }

    // The digits, before and after the point, as one integer. It wraps past
    // 19 digits, but then strtod decides.
    const char* digits = s;
    uint64_t mantissa = 0;
    int ndigits = 0;
    while (is_digit(*s)) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*s - '0');
        ++ndigits;
        ++s;
    }
    if (ndigits == 1 && *digits == '0' && (*s == 'x' || *s == 'X'))
        return parse_with_strtod(start, end); // hexadecimal
    int fraction_digits = 0;
    if (*s == '.') {
        ++s;
        while (is_digit(*s)) {
            mantissa = mantissa * 10 + static_cast<unsigned>(*s - '0');
            ++ndigits;
            ++fraction_digits;
            ++s;
        }
    }
    if (ndigits == 0) {
        char c = *digits;
        if (c == 'i' || c == 'I' || c == 'n' || c == 'N')
            return parse_with_strtod(start, end); // inf, infinity, nan
        *end = p;
        return 0.0;
    }

    // An exponent counts only with a digit: "1e" and "1e+" are just 1.
    int exponent = 0;
    if (*s == 'e' || *s == 'E') {
        const char* e = s + 1;
        bool exponent_negative = false;
        if (*e == '+' || *e == '-') {
            exponent_negative = *e == '-';
            ++e;
        }
        if (is_digit(*e)) {
            while (is_digit(*e)) {
                if (exponent < 100000)
                    exponent = exponent * 10 + (*e - '0');
                ++e;
            }
            if (exponent_negative)
                exponent = -exponent;
            s = e;
        }
    }

    if (ndigits > 19)
        return parse_with_strtod(start, end);
    *end = s;
    if (mantissa == 0)
        return negative ? -0.0 : 0.0;
    // Both operands exact, so the one rounding of the multiply or divide
    // gives the correctly rounded result.
    int scale = exponent - fraction_digits;
    if (mantissa <= (uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
        double value = static_cast<double>(mantissa);
        if (scale < 0)
            value /= exact_powers_of_ten[-scale];
        else
            value *= exact_powers_of_ten[scale];
        return negative ? -value : value;
    }
    return parse_with_strtod(start, end);
}

// Appends the digits at s to mantissa; returns the first byte after them.
inline const char* take_digits(const char* s, uint64_t& mantissa)
{
    for (;; ++s) {
        unsigned digit = static_cast<unsigned char>(*s) - unsigned{'0'};
        if (digit > 9)
            return s;
        mantissa = mantissa * 10 + digit;
    }
}

// Counts, for the warnings, what is odd about a reading that took the
// general parse: only there is there no number, one that runs on into
// other bytes, or one that is not finite.
[[gnu::noinline]] void count_general_reading(const char* p, const char* stop, double value,
                                             log_shape& shape)
{
    if (stop == p) {
        ++shape.no_reading;
        return;
    }
    shape.not_finite += std::isfinite(value) ? 0 : 1;
    shape.runs_on += is_space(*stop) ? 0 : 1;
}

// parse_reading, inlined into the line scanners, where the parse is most
// of the work of a line. It takes the shape meters write, an optional minus
// and up to 15 digits around a point, ended by whitespace, and hands
// anything else (a plus, an exponent, "0x", inf, nan, no digits, more
// digits, a number that runs on into other bytes) to parse_general, which
// counts the odd ones in shape. So the plain shape pays nothing for the
// counting.
[[gnu::always_inline]] inline double scan_reading(const char* p, const char** end,
                                                  log_shape& shape)
{
    const char* number = skip_blanks(p);
    bool negative = *number == '-';
    const char* digits = number + negative;
    uint64_t mantissa = 0;
    const char* s = take_digits(digits, mantissa);
    size_t whole_digits = static_cast<size_t>(s - digits);
    size_t fraction_digits = 0;
    if (*s == '.') {
        const char* fraction = s + 1;
        s = take_digits(fraction, mantissa);
        fraction_digits = static_cast<size_t>(s - fraction);
    }
    // Up to 15 digits are below 2^53, and so is the mantissa: exact, as is
    // the power of ten, so the one rounding of the divide is strtod's.
    // Whitespace after the digits rules out an exponent and "0x" too.
    bool plain = whole_digits + fraction_digits - 1 < 15 && is_space(*s);
    if (!plain) [[unlikely]] {
        double value = parse_general(p, number, end);
        count_general_reading(p, *end, value, shape);
        return value;
    }
    *end = s;
    // Below 2^53, so signed: the conversion needs no fix-up for the top bit.
    double value = static_cast<double>(static_cast<int64_t>(mantissa)) /
                   exact_powers_of_ten[fraction_digits];
    return negative ? -value : value;
}

} // namespace

double parse_reading(const char* p, const char** end)
{
    log_shape ignored;
    return scan_reading(p, end, ignored);
}

namespace {

// One line at a time, byte by byte: each takes the first byte of a line in
// [begin, end), sets the line's readings, counts what is odd about them in
// shape and returns the next line's first byte. The callers add the readings, so the sums stay in
// registers.

const char* total_line(const char* p, const char* end, double& reading, log_shape& shape)
{
    // Every whitespace character counts, the newline too; a line whose
    // newline is its first or second one holds no reading.
    int count = 0;
    reading = 0.0;
    for (;;) {
        char c = *p++;
        if (!is_space(c))
            continue;
        if (c == '\n') {
            ++shape.no_reading;
            return p;
        }
        if (++count == 2) {
            const char* stop = p;
            reading = scan_reading(p, &stop, shape);
            return next_line(stop, end);
        }
    }
}

const char* cpu_line(const char* p, const char* end, double& field3, double& field7,
                     log_shape& shape)
{
    // A missing field leaves p at the newline, where the reading is 0.0.
    // stop never falls behind p: a parse that finds no number leaves it
    // where the parse began.
    const char* stop = p;
    p = skip_blanks(p);
    p = skip_field(p);
    p = skip_field(p);
    field3 = scan_reading(p, &stop, shape);
    for (int i = 0; i < 4; ++i)
        p = skip_field(p);
    field7 = scan_reading(p, &stop, shape);
    return next_line(stop, end);
}

const char* gpu_line(const char* p, const char* end, double& reading, log_shape& shape)
{
    const char* stop = p;
    reading = scan_reading(p, &stop, shape);
    return next_line(stop, end);
}

#if defined(__SSE2__)
// The byte walk stalls wherever a field's width changes from line to line,
// and it makes each line wait for the parse of the one before to find where
// it starts. So where 16, 32 or 64 bytes of the range are left, a line is
// classified 16 bytes at a time into bit masks, and its fields and newline
// are found with bit operations that do not branch on the bytes. A line
// that does not fit the masks goes to the byte walk.

// Bit i: p[i] is whitespace (the newline too); p[i] is a newline.
inline void classify_16(const char* p, uint32_t& space, uint32_t& newline)
{
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i blank = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
    // \t to \r, 9 to 13: bytes - 9 is at most 4, unsigned.
    __m128i shifted = _mm_sub_epi8(bytes, _mm_set1_epi8('\t'));
    __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(4)), shifted);
    space = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(blank, control)));
    newline = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
}

inline void classify_32(const char* p, uint32_t& space, uint32_t& newline)
{
    uint32_t s0, n0, s1, n1;
    classify_16(p, s0, n0);
    classify_16(p + 16, s1, n1);
    space = s0 | s1 << 16;
    newline = n0 | n1 << 16;
}

inline void classify_64(const char* p, uint64_t& space, uint64_t& newline)
{
    uint32_t s0, n0, s1, n1;
    classify_32(p, s0, n0);
    classify_32(p + 32, s1, n1);
    space = s0 | uint64_t{s1} << 32;
    newline = n0 | uint64_t{n1} << 32;
}

inline unsigned lowest_bit(uint64_t bits)
{
    return static_cast<unsigned>(__builtin_ctzll(bits));
}

// The total-power line at p, whose 32 bytes from p lie in the range: sets
// its reading and returns the next line, or nullptr if its second
// whitespace character or its newline is not among them.
inline const char* total_line_masked(const char* p, double& reading, log_shape& shape)
{
    uint32_t space, newline;
    classify_32(p, space, newline);
    uint32_t second = space & (space - 1);
    if (second == 0 || newline == 0)
        return nullptr;
    unsigned nl = lowest_bit(newline);
    reading = 0.0;
    if (lowest_bit(second) < nl) {
        const char* stop;
        reading = scan_reading(p + lowest_bit(second) + 1, &stop, shape);
    } else {
        ++shape.no_reading;
    }
    return p + nl + 1;
}

// The CPU line at p, whose 64 bytes from p lie in the range: sets its
// readings and returns the next line, or nullptr if its newline is not
// among them.
inline const char* cpu_line_masked(const char* p, double& field3, double& field7,
                                   log_shape& shape)
{
    uint64_t space, newline;
    classify_64(p, space, newline);
    if (newline == 0)
        return nullptr;
    unsigned nl = lowest_bit(newline);
    // A field starts where whitespace, or the line's start, is followed by
    // a byte that is not; only the starts before the newline count.
    uint64_t starts = ~space & (space << 1 | 1) & ((uint64_t{1} << nl) - 1);
    for (int i = 0; i < 2; ++i)
        starts &= starts - 1;
    const char* stop;
    field3 = 0.0;
    field7 = 0.0;
    if (starts == 0) {
        shape.no_reading += 2;
        return p + nl + 1;
    }
    field3 = scan_reading(p + lowest_bit(starts), &stop, shape);
    for (int i = 0; i < 4; ++i)
        starts &= starts - 1;
    if (starts == 0)
        ++shape.no_reading;
    else
        field7 = scan_reading(p + lowest_bit(starts), &stop, shape);
    return p + nl + 1;
}

// The GPU line at p, whose 16 bytes from p lie in the range: sets its
// reading and returns the next line, or nullptr if its newline is not
// among them.
inline const char* gpu_line_masked(const char* p, double& reading, log_shape& shape)
{
    uint32_t space, newline;
    classify_16(p, space, newline);
    if (newline == 0)
        return nullptr;
    const char* stop;
    reading = scan_reading(p, &stop, shape);
    return p + lowest_bit(newline) + 1;
}
#endif

} // namespace

void add_total_power_lines(const char* begin, const char* end, energy_summary& s,
                           log_shape& shape)
{
    double total = s.total_energy;
    const char* p = begin;
    uint64_t lines = 0;
    double reading;
#if defined(__SSE2__)
    while (end - p >= 32) {
        const char* next = total_line_masked(p, reading, shape);
        p = next != nullptr ? next : total_line(p, end, reading, shape);
        total = add_figures(reading * 0.5, total);
        ++lines;
    }
#endif
    while (p < end) {
        p = total_line(p, end, reading, shape);
        total = add_figures(reading * 0.5, total);
        ++lines;
    }
    s.total_energy = total;
    shape.lines += lines;
}

void add_cpu_power_lines(const char* begin, const char* end, energy_summary& s,
                         log_shape& shape)
{
    double cpu1 = s.cpu1;
    double cpu2 = s.cpu2;
    const char* p = begin;
    uint64_t lines = 0;
    double field3, field7;
#if defined(__SSE2__)
    while (end - p >= 64) {
        const char* next = cpu_line_masked(p, field3, field7, shape);
        p = next != nullptr ? next : cpu_line(p, end, field3, field7, shape);
        cpu1 = add_figures(field3, cpu1);
        cpu2 = add_figures(field7, cpu2);
        ++lines;
    }
#endif
    while (p < end) {
        p = cpu_line(p, end, field3, field7, shape);
        cpu1 = add_figures(field3, cpu1);
        cpu2 = add_figures(field7, cpu2);
        ++lines;
    }
    s.cpu1 = cpu1;
    s.cpu2 = cpu2;
    shape.lines += lines;
}

void add_gpu_power_lines(const char* begin, const char* end, energy_summary& s,
                         log_shape& shape)
{
    double gpu1 = s.gpu1;
    const char* p = begin;
    uint64_t lines = 0;
    double reading;
#if defined(__SSE2__)
    while (end - p >= 16) {
        const char* next = gpu_line_masked(p, reading, shape);
        p = next != nullptr ? next : gpu_line(p, end, reading, shape);
        gpu1 = add_figures(reading * 0.1, gpu1);
        ++lines;
    }
#endif
    while (p < end) {
        p = gpu_line(p, end, reading, shape);
        gpu1 = add_figures(reading * 0.1, gpu1);
        ++lines;
    }
    s.gpu1 = gpu1;
    shape.lines += lines;
}

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

namespace {

using line_scanner = void (*)(const char*, const char*, energy_summary&, log_shape&);

// What becomes of a log's first line.
enum class first_line { data, header_if_no_reading, header };

// Makes room to read into: moves the unfinished line to the front, and
// doubles the buffer when that line fills it. Returns 0 or ENOMEM.
int make_room(line_buffer& lb)
{
    if (lb.begin > 0) {
        std::memmove(lb.data, lb.data + lb.begin, lb.end - lb.begin);
        lb.end -= lb.begin;
        lb.begin = 0;
    }
    if (lb.end < lb.capacity)
        return 0;
    if (lb.capacity > (SIZE_MAX - 1) / 2)
        return ENOMEM;
    size_t capacity = lb.capacity * 2;
    char* data = static_cast<char*>(std::realloc(lb.data, capacity + 1));
    if (data == nullptr)
        return ENOMEM;
    lb.data = data;
    lb.capacity = capacity;
    return 0;
}

// Scans the log's first line, [begin, end), on its own: with
// header_if_no_reading, a first line without a reading is taken for a header
// and set apart in shape (its 0 is still added, as for any such line).
void scan_first_line(const char* begin, const char* end, energy_summary& s, log_shape& shape,
                     line_scanner scan, first_line first)
{
    uint64_t before = shape.no_reading;
    scan(begin, end, s, shape);
    if (first == first_line::header_if_no_reading && shape.no_reading != before)
        shape.header = true;
}

// Reads fd to its end, handing every run of whole lines to scan, and the
// last line, if it has no newline, with one added: after a newline a line
// holds nothing, so the added one changes no reading. A first_line::header
// is dropped; it is never held whole, however long it is.
int read_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape, line_scanner scan,
             first_line first)
{
    lb.begin = 0;
    lb.end = 0;
    bool at_first_line = true;
    for (;;) {
        int status = make_room(lb);
        if (status != 0)
            return status;
        ssize_t n = read(fd, lb.data + lb.end, lb.capacity - lb.end);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            break;
        size_t fresh = lb.end;
        lb.end += static_cast<size_t>(n);
        if (at_first_line) {
            const void* nl = std::memchr(lb.data + fresh, '\n', lb.end - fresh);
            if (nl == nullptr) {
                if (first == first_line::header)
                    lb.begin = lb.end;
                continue;
            }
            at_first_line = false;
            const char* second_line = static_cast<const char*>(nl) + 1;
            if (first != first_line::header)
                scan_first_line(lb.data + lb.begin, second_line, s, shape, scan, first);
            lb.begin = static_cast<size_t>(second_line - lb.data);
            fresh = lb.begin;
        }
        const void* last = memrchr(lb.data + fresh, '\n', lb.end - fresh);
        if (last == nullptr)
            continue;
        const char* lines_end = static_cast<const char*>(last) + 1;
        scan(lb.data + lb.begin, lines_end, s, shape);
        lb.begin = static_cast<size_t>(lines_end - lb.data);
    }
    if (lb.begin < lb.end) {
        shape.unended = true;
        lb.data[lb.end] = '\n';
        if (at_first_line)
            scan_first_line(lb.data + lb.begin, lb.data + lb.end + 1, s, shape, scan, first);
        else
            scan(lb.data + lb.begin, lb.data + lb.end + 1, s, shape);
        lb.begin = lb.end;
    }
    return 0;
}

} // namespace

int read_total_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape)
{
    return read_log(fd, lb, s, shape, add_total_power_lines, first_line::header_if_no_reading);
}

int read_cpu_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape)
{
    return read_log(fd, lb, s, shape, add_cpu_power_lines, first_line::header);
}

int read_gpu_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape)
{
    return read_log(fd, lb, s, shape, add_gpu_power_lines, first_line::header_if_no_reading);
}

namespace {

// The jobs, largest first, and the next one to take.
struct job_queue {
    log_job* jobs[8];
    int count = 0;
    std::atomic<int> next{0};
};

// Takes jobs until none is left, each read through this thread's buffer.
void take_jobs(job_queue& queue)
{
    line_buffer lb;
    int no_buffer = line_buffer_init(lb, default_line_buffer_size);
    for (int i; (i = queue.next.fetch_add(1)) < queue.count;) {
        log_job& job = *queue.jobs[i];
        job.err = no_buffer != 0 ? no_buffer : job.reader(job.fd, lb, job.part, job.shape);
    }
    line_buffer_free(lb);
}

void* job_thread(void* queue)
{
    take_jobs(*static_cast<job_queue*>(queue));
    return nullptr;
}

} // namespace

void read_logs_at_once(log_job* jobs, int count, unsigned threads)
{
    job_queue queue;
    for (int i = 0; i < count && i < 8; ++i) {
        int at = queue.count++;
        for (; at > 0 && queue.jobs[at - 1]->size < jobs[i].size; --at)
            queue.jobs[at] = queue.jobs[at - 1];
        queue.jobs[at] = &jobs[i];
    }
    pthread_t helpers[8];
    unsigned started = 0;
    while (started + 1 < threads && static_cast<int>(started) + 1 < queue.count &&
           pthread_create(&helpers[started], nullptr, job_thread, &queue) == 0)
        ++started;
    take_jobs(queue);
    for (unsigned i = 0; i < started; ++i)
        pthread_join(helpers[i], nullptr);
}
