// Each log's rule for where its readings stand in a line, in its two
// kernels: the portable byte walk, and the AVX2 one (bit masks, windows of
// lines whatever their readings' widths, and lines read four at a time
// where their shape repeats).
#include "read/log_lines.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
// glibc's header of what it found the CPU to have is C, with a _Bool that
// GCC reads in C++ too and Clang does not; a Clang build asks the CPU.
#if defined(__x86_64__) && !defined(__clang__) && __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define ENERGY_TOTALS_GLIBC_CPU_FEATURES 1
#endif

#include "read/reading_number.h"

namespace {

// One line at a time, byte by byte: each takes the first byte of a line in
// [begin, end), sets the line's readings, counts what is odd about them in
// shape and returns the next line's first byte. The callers add the
// readings, so the sums stay in registers.

const char* total_line(const char* p, const char* end, double& reading, log_shape& shape)
{
    // Every whitespace character counts, the newline too; a line whose
    // newline comes before the reading's place holds no reading.
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
        if (++count == total_power_kind.after_whitespace) {
            const char* stop = p;
            reading = scan_reading(p, &stop, shape);
            return next_line(stop, end);
        }
    }
}

const char* cpu_line(const char* p, const char* end, double& reading1, double& reading2,
                     log_shape& shape)
{
    // A missing field leaves p at the newline, where the reading is 0.0.
    // stop never falls behind p: a parse that finds no number leaves it
    // where the parse began.
    const char* stop = p;
    p = skip_blanks(p);
    for (int i = 1; i < cpu_kind.fields[0]; ++i)
        p = skip_field(p);
    reading1 = scan_reading(p, &stop, shape);
    for (int i = cpu_kind.fields[0]; i < cpu_kind.fields[1]; ++i)
        p = skip_field(p);
    reading2 = scan_reading(p, &stop, shape);
    return next_line(stop, end);
}

const char* gpu_line(const char* p, const char* end, double& reading, log_shape& shape)
{
    const char* stop = p;
    reading = scan_reading(p, &stop, shape);
    return next_line(stop, end);
}

#if defined(__x86_64__)
// The byte walk stalls wherever a field's width changes from line to line,
// and it makes each line wait for the parse of the one before to find where
// it starts. So the AVX2 kernel classifies a line 32 bytes an instruction
// into bit masks, and finds its fields and newline with bit operations that
// do not branch on the bytes. A line that does not fit the masks goes to the
// byte walk.
#define ENERGY_TOTALS_WIDE_MASKS 1
// Bit i: p[i] is whitespace (the newline too); p[i] is a newline. Not always_inline: that
// would have them inlined into the loops' templates, which are not built
// for AVX2; the wide loops are flattened instead, which inlines them there.
struct wide_masks {
    // The 16 bytes after a long CPU line's window.
    [[gnu::target("avx2")]] static void of_16(const char* p, uint32_t& space, uint32_t& newline)
    {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i blank = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
        // \t to \r, 9 to 13: bytes - 9 is at most 4, unsigned.
        __m128i shifted = _mm_sub_epi8(bytes, _mm_set1_epi8('\t'));
        __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(4)), shifted);
        space = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(blank, control)));
        newline = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
    }
    [[gnu::target("avx2")]] static void of_32(const char* p, uint32_t& space, uint32_t& newline)
    {
        __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        __m256i blank = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(' '));
        __m256i shifted = _mm256_sub_epi8(bytes, _mm256_set1_epi8('\t'));
        __m256i control =
            _mm256_cmpeq_epi8(_mm256_min_epu8(shifted, _mm256_set1_epi8(4)), shifted);
        space = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(blank, control)));
        newline = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n'))));
    }
    [[gnu::target("avx2")]] static void of_64(const char* p, uint64_t& space, uint64_t& newline)
    {
        uint32_t s0, n0, s1, n1;
        of_32(p, s0, n0);
        of_32(p + 32, s1, n1);
        space = s0 | uint64_t{s1} << 32;
        newline = n0 | uint64_t{n1} << 32;
    }
};

inline unsigned lowest_bit(uint64_t bits)
{
    return static_cast<unsigned>(__builtin_ctzll(bits));
}

// The masks of the 128 bytes a long CPU line (a host's full name) needs.
__extension__ typedef unsigned __int128 bits_128;

inline unsigned lowest_bit(uint32_t bits)
{
    return static_cast<unsigned>(__builtin_ctz(bits));
}

inline unsigned lowest_bit(bits_128 bits)
{
    auto low = static_cast<uint64_t>(bits);
    return low != 0 ? lowest_bit(low) : 64 + lowest_bit(static_cast<uint64_t>(bits >> 64));
}

template <class Masks>
inline void classify(const char* p, uint64_t& space, uint64_t& newline)
{
    Masks::of_64(p, space, newline);
}

template <class Masks>
inline void classify(const char* p, bits_128& space, bits_128& newline)
{
    uint64_t s0, n0, s1, n1;
    Masks::of_64(p, s0, n0);
    Masks::of_64(p + 64, s1, n1);
    space = s0 | bits_128{s1} << 64;
    newline = n0 | bits_128{n1} << 64;
}

// The reading whose field starts at bit `start` of the masks of the line
// at p: the field ends at the next whitespace, which the newline's bit
// guarantees there is. Only the CPU log's lines take their readings this
// way: the other two logs' readings start where the line walk already is,
// and parsing them at once, before the masks are in, is faster there.
template <class Bits>
[[gnu::always_inline]] inline double field_at(const char* p, unsigned start, Bits space,
                                              log_shape& shape)
{
    return scan_field(p + start, lowest_bit(space >> start), p, shape);
}

// The readings of the CPU line at p, whose newline is bit nl of space, the
// whitespace mask of its bytes: each field's converted by convert(bit of
// its start). Returns the next line.
template <class Bits, class Convert>
[[gnu::always_inline]] inline const char* cpu_fields(const char* p, Bits space, unsigned nl,
                                                     double& reading1, double& reading2,
                                                     log_shape& shape, Convert convert)
{
    // A field starts where whitespace, or the line's start, is followed by
    // a byte that is not; only the starts before the newline count.
    Bits starts = ~space & (space << 1 | 1) & ((Bits{1} << nl) - 1);
    for (int i = 1; i < cpu_kind.fields[0]; ++i)
        starts &= starts - 1;
    reading1 = 0.0;
    reading2 = 0.0;
    if (starts == 0) {
        shape.no_reading += 2;
        return p + nl + 1;
    }
    reading1 = convert(lowest_bit(starts));
    for (int i = cpu_kind.fields[0]; i < cpu_kind.fields[1]; ++i)
        starts &= starts - 1;
    if (starts == 0)
        ++shape.no_reading;
    else
        reading2 = convert(lowest_bit(starts));
    return p + nl + 1;
}

// The CPU line at p, whose 64 bytes (Bits uint64_t) or 128 (bits_128) from
// p lie in the range: sets its readings and returns the next line, or
// nullptr if its newline is not among them.
template <class Masks, class Bits>
[[gnu::always_inline]] inline const char* cpu_line_masked(const char* p, double& reading1,
                                                          double& reading2, log_shape& shape)
{
    Bits space, newline;
    classify<Masks>(p, space, newline);
    if (newline == 0)
        return nullptr;
    return cpu_fields(p, space, lowest_bit(newline), reading1, reading2, shape,
                      [&](unsigned f) { return field_at(p, f, space, shape); });
}

#endif

// A one-reading log's rule in the form the shared loop takes: its walk,
// and the figure its readings add into.
struct total_rule {
    static const char* walk(const char* p, const char* end, double* r, log_shape& shape)
    {
        return total_line(p, end, r[0], shape);
    }
    static constexpr double energy_summary::*figure = &energy_summary::total_energy;
};

struct gpu_rule {
    static const char* walk(const char* p, const char* end, double* r, log_shape& shape)
    {
        return gpu_line(p, end, r[0], shape);
    }
    static constexpr double energy_summary::*figure = &energy_summary::gpu1;
};

// Their lines' shapes and reading's place for the AVX2 kernel (below,
// where it is built).
struct total_shapes;
struct gpu_shapes;
struct total_field;
struct gpu_field;

// Where the readings go: each times the weight, added in order into the
// figure; and what the plausibility warnings look at, the lowest and
// highest reading and the smallest step from one to the next, none of
// which holds up the sum.
struct sum_sink {
    double first;
    double weight;
    reading_range range;
    void add(double reading)
    {
        first = add_figures(reading * weight, first);
        range.see(reading);
    }
};

#if defined(ENERGY_TOTALS_WIDE_MASKS)
// How many of the four readings in v are below 0.
[[gnu::target("avx2"), gnu::always_inline]] inline unsigned negatives_of(__m256d v)
{
    static constexpr unsigned char bits_set[16] = {0, 1, 1, 2, 1, 2, 2, 3,
                                                   1, 2, 2, 3, 2, 3, 3, 4};
    return bits_set[_mm256_movemask_pd(_mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_LT_OQ))];
}
#endif

// Readings kept in order, for a sum made later (add_kept_readings), with
// the negative ones counted, so that the reader can pick out the first as
// the lines go by.
struct keep_sink {
    double* out;
    uint64_t negatives = 0;
    void add(double reading)
    {
        *out++ = reading;
        negatives += reading < 0;
    }
#if defined(ENERGY_TOTALS_WIDE_MASKS)
    // Four readings, for the loops built for AVX2.
    [[gnu::target("avx2"), gnu::always_inline]] void add4(const double* r)
    {
        __m256d v = _mm256_loadu_pd(r);
        _mm256_storeu_pd(out, v);
        out += 4;
        negatives += negatives_of(v);
    }
#endif
    void add(double reading1, double reading2)
    {
        out[0] = reading1;
        out[1] = reading2;
        out += 2;
    }
};

// The CPU log's two figures, its readings added as they stand.
struct cpu_sum_sink {
    double cpu1;
    double cpu2;
    void add(double reading1, double reading2)
    {
        cpu1 = add_figures(reading1, cpu1);
        cpu2 = add_figures(reading2, cpu2);
    }
};

// The portable loop of the total-power and GPU logs, and the AVX2 kernel's
// for a buffer's last bytes: the walk, each line's reading to the sink, in
// order.
template <class Rule, class Sink>
[[gnu::always_inline]] inline void scan_lines(const char* begin, const char* end, Sink& sink,
                                              log_shape& shape)
{
    const char* p = begin;
    uint64_t lines = 0;
    double r[1];
    while (p < end) {
        p = Rule::walk(p, end, r, shape);
        sink.add(r[0]);
        ++lines;
    }
    shape.lines += lines;
}

// The sink of a figure, the statistics carried on from the log's lines
// before these.
sum_sink start_sink(double figure, double weight, const log_shape& shape)
{
    return {figure, weight, shape.readings};
}

void end_sink(const sum_sink& sink, log_shape& shape)
{
    shape.readings = sink.range;
}

// A one-reading log's lines, by the portable walk, into its figure.
template <class Rule>
void one_reading_lines(const char* begin, const char* end, double weight, energy_summary& s, log_shape& shape)
{
    sum_sink sink = start_sink(s.*Rule::figure, weight, shape);
    scan_lines<Rule>(begin, end, sink, shape);
    s.*Rule::figure = sink.first;
    end_sink(sink, shape);
}

// The CPU log's lines, read by Short (window_cpu_line, the AVX2 kernel's)
// while 64 bytes are left, else by the walk (Short void: the portable
// kernel). The CPU log keeps a loop of its own, as it has two figures.
template <class Sink, class Short = void>
[[gnu::always_inline]] inline void scan_cpu_lines(const char* begin, const char* end, Sink& sink,
                                                  log_shape& shape)
{
    const char* p = begin;
    uint64_t lines = 0;
    double reading1, reading2;
#if defined(ENERGY_TOTALS_WIDE_MASKS)
    if constexpr (!std::is_void_v<Short>) {
        while (end - p >= 64) {
            const char* next = Short::read(p, end, reading1, reading2, shape);
            if (next == nullptr && end - p >= 128)
                next = cpu_line_masked<wide_masks, bits_128>(p, reading1, reading2, shape);
            p = next != nullptr ? next : cpu_line(p, end, reading1, reading2, shape);
            sink.add(reading1, reading2);
            ++lines;
        }
    }
#endif
    while (p < end) {
        p = cpu_line(p, end, reading1, reading2, shape);
        sink.add(reading1, reading2);
        ++lines;
    }
    shape.lines += lines;
}

template <class Short = void>
[[gnu::always_inline]] inline void cpu_lines(const char* begin, const char* end,
                                             energy_summary& s, log_shape& shape)
{
    cpu_sum_sink sink = {s.cpu1, s.cpu2};
    scan_cpu_lines<cpu_sum_sink, Short>(begin, end, sink, shape);
    s.cpu1 = sink.cpu1;
    s.cpu2 = sink.cpu2;
}

#if defined(ENERGY_TOTALS_WIDE_MASKS)
// The loops built for AVX2, below. Flattened, so that everything they call
// is built for it too, and nothing of it is left in a function the other
// loops might call. The GPU and total-power logs' loops read lines by
// shape and by windows; the CPU log's convert their fields as the windows
// convert a reading.

// The GPU log's lines (and below, the total-power log's), four at a time
// where their shape repeats. Meters write the same shape line after line
// ("231.45 W", then "228.90 W"): the same length, the same bytes but for
// the reading's digits. Once a line's shape is learnt, four lines that
// have it are checked against it at once and their readings converted
// together, in vector registers, by the same arithmetic as the plain
// parse: the digits as one integer, divided by the power of ten, negated
// if the line's minus says so. The divide is IEEE's, lane by lane, so the
// readings are the bits the plain parse gives. Lines of another shape are
// read a window at a time (further below), and a window's last line is the
// shape looked for next.

// What a GPU line has that shape: its bytes, the places of the reading's
// digits (any digit there), and the rest.
struct gpu_line_shape {
    __m256i bytes;  // the line's bytes, in both halves
    __m256i digits; // 0xff where a digit of the reading stands
    __m256i order;  // the reading's digits to bytes 8 - n to 7, zeros elsewhere
    uint32_t whole; // the line's bytes, in both halves of a byte mask
    int length;     // with its newline; at most 16
    double scale;   // 10 to the number of fraction digits
    bool negative;
};

// The digits a vector's lanes convert exactly at once: eight, by the
// multiply-adds of digits_value and window_reading.
constexpr int most_lane_digits = 8;

// A line learnt, and its reading: the line's bytes (zeros past it); the
// places of the reading's digits from the line's start, their number, and
// `order`, which puts them in bytes 8 - n to 7 (0x80, a zero, elsewhere);
// 10 to the number of its fraction digits, and its sign.
struct learnt_line {
    alignas(32) unsigned char bytes[32];
    alignas(16) unsigned char order[16];
    unsigned char at[most_lane_digits];
    int n;
    double scale;
    bool negative;
};

// Learns the line [p, p + length), of at most 32 bytes, whose reading
// starts at q (after blanks); its order counts the digits' places from
// the reading's first digit where from_reading, else from p. Returns false
// where the reading is not of the plain shape after a minus or of more
// than most_lane_digits digits.
[[gnu::target("avx2")]] bool learn_line(const char* p, const char* q, ptrdiff_t length, bool from_reading,
                                        learnt_line& l)
{
    q = skip_blanks(q);
    l.negative = *q == '-';
    q += l.negative;
    decimal_digits d = take_decimal(q);
    if (!is_plain(d, size_t{most_lane_digits}))
        return false;
    l.n = 0;
    for (const char* digit = q; digit < d.end; ++digit)
        if (digit != d.point)
            l.at[l.n++] = static_cast<unsigned char>(digit - p);
    l.scale = exact_powers_of_ten[d.fraction];
    std::memset(l.bytes, 0, sizeof l.bytes);
    std::memcpy(l.bytes, p, static_cast<size_t>(length));
    std::memset(l.order, 0x80, sizeof l.order);
    for (int i = 0; i < l.n; ++i)
        l.order[most_lane_digits - l.n + i] = static_cast<unsigned char>(l.at[i] - (from_reading ? l.at[0] : 0));
    return true;
}

// Learns the shape of the line [p, next). Returns false where it has none
// to learn: longer than 16 bytes, or a reading not of the plain shape.
[[gnu::target("avx2")]] bool learn_gpu_shape(const char* p, const char* next, gpu_line_shape& t)
{
    ptrdiff_t length = next - p;
    learnt_line l;
    if (length > 16 || !learn_line(p, p, length, false, l))
        return false;
    alignas(16) unsigned char digits[16] = {};
    for (int i = 0; i < l.n; ++i)
        digits[l.at[i]] = 0xff;
    t.bytes = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(l.bytes)));
    t.digits = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(digits)));
    t.order = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(l.order)));
    uint32_t line = (uint32_t{1} << length) - 1;
    t.whole = line | line << 16;
    t.length = static_cast<int>(length);
    t.scale = l.scale;
    t.negative = l.negative;
    return true;
}

// The two lines at p and p + t.length, whose 16 bytes each lie in the
// range: their digits, less '0', in the bytes `order` puts them in, or
// false if either line has not the shape.
[[gnu::target("avx2")]] inline bool two_gpu_lines(const char* p, const gpu_line_shape& t,
                                                  __m256i& digits)
{
    __m256i v = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + t.length)), 1);
    __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
    __m256i is_digit = _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(9)), d);
    __m256i fits = _mm256_or_si256(_mm256_cmpeq_epi8(v, t.bytes), _mm256_and_si256(is_digit, t.digits));
    if ((static_cast<uint32_t>(_mm256_movemask_epi8(fits)) & t.whole) != t.whole)
        return false;
    digits = _mm256_shuffle_epi8(d, t.order);
    return true;
}

// Eight digits in each half's low bytes to their value, in its first
// 32 bits.
[[gnu::target("avx2")]] inline __m256i digits_value(__m256i d)
{
    d = _mm256_maddubs_epi16(d, _mm256_set1_epi16(0x010a));          // 10, 1
    d = _mm256_madd_epi16(d, _mm256_set1_epi32(0x00010064));         // 100, 1
    d = _mm256_packus_epi32(d, d);
    return _mm256_madd_epi16(d, _mm256_set1_epi32(0x00012710));      // 10000, 1
}

// The readings of four lines, from their digits as two_gpu_lines leaves
// them (lines 1 and 2 in first, 3 and 4 in second): to r, in order.
[[gnu::target("avx2")]] inline void four_readings(__m256i first, __m256i second, double scale,
                                                  bool negative, double* r)
{
    __m256i both = _mm256_unpacklo_epi32(digits_value(first), digits_value(second));
    __m256i in_order = _mm256_permutevar8x32_epi32(both, _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5));
    __m256d value = _mm256_div_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(in_order)),
                                  _mm256_set1_pd(scale));
    if (negative)
        value = _mm256_xor_pd(value, _mm256_set1_pd(-0.0));
    _mm256_storeu_pd(r, value);
}

// The four lines at p, whose 64 bytes lie in the range: their readings in
// r, or false if any has not the shape t.
[[gnu::target("avx2")]] inline bool four_gpu_lines(const char* p, const gpu_line_shape& t,
                                                   double* r)
{
    __m256i first, second;
    if (!two_gpu_lines(p, t, first) || !two_gpu_lines(p + 2 * t.length, t, second))
        return false;
    four_readings(first, second, t.scale, t.negative, r);
    return true;
}

// The total-power log's lines the same way, where their shape repeats:
// the same bytes but for digits, which may be any digit wherever the line
// learnt had one (a time stamp's too); whitespace, and so where the
// reading starts, the same. Lines of up to 32 bytes.
struct total_line_shape {
    __m256i bytes;  // the line's bytes
    __m256i digits; // 0xff where the line had a digit
    __m128i order;  // the reading's digits, from the 16 bytes at `from`
    uint32_t whole; // the line's bytes, in a byte mask
    int length;
    int from;
    double scale;
    bool negative;
};

[[gnu::target("avx2")]] bool learn_total_shape(const char* p, const char* next,
                                               total_line_shape& t)
{
    ptrdiff_t length = next - p;
    if (length > 32)
        return false;
    // The reading follows its whitespace character, which must come before
    // the newline.
    const char* q = p;
    for (int count = 0; count < total_power_kind.after_whitespace; ++q)
        if (is_space(*q)) {
            if (*q == '\n')
                return false;
            ++count;
        }
    learnt_line l;
    if (!learn_line(p, q, length, true, l))
        return false;
    alignas(32) unsigned char digits[32] = {};
    for (ptrdiff_t i = 0; i < length; ++i)
        digits[i] = is_digit(p[i]) ? 0xff : 0;
    t.from = l.at[0];
    t.bytes = _mm256_load_si256(reinterpret_cast<const __m256i*>(l.bytes));
    t.digits = _mm256_load_si256(reinterpret_cast<const __m256i*>(digits));
    t.order = _mm_load_si128(reinterpret_cast<const __m128i*>(l.order));
    t.whole = length == 32 ? ~uint32_t{0} : (uint32_t{1} << length) - 1;
    t.length = static_cast<int>(length);
    t.scale = l.scale;
    t.negative = l.negative;
    return true;
}

// Whether the line at p, whose 32 bytes lie in the range, has the shape t
// in the bytes of `which` (t.whole: all of the line's).
[[gnu::target("avx2")]] inline bool total_line_fits(const char* p, const total_line_shape& t,
                                                    uint32_t which)
{
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
    __m256i is_digit = _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(9)), d);
    __m256i fits = _mm256_or_si256(_mm256_cmpeq_epi8(v, t.bytes), _mm256_and_si256(is_digit, t.digits));
    return (static_cast<uint32_t>(_mm256_movemask_epi8(fits)) & which) == which;
}

// The digits of the readings of the lines at p and q, as two_gpu_lines
// leaves them.
[[gnu::target("avx2")]] inline __m256i two_total_readings(const char* p, const char* q,
                                                          const total_line_shape& t)
{
    const __m128i zero = _mm_set1_epi8('0');
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + t.from));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + t.from));
    a = _mm_shuffle_epi8(_mm_sub_epi8(a, zero), t.order);
    b = _mm_shuffle_epi8(_mm_sub_epi8(b, zero), t.order);
    return _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
}

// The four lines at p, whose 144 bytes lie in the range.
[[gnu::target("avx2")]] inline bool four_total_lines(const char* p, const total_line_shape& t,
                                                     double* r)
{
    const char* q[4] = {p, p + t.length, p + 2 * t.length, p + 3 * t.length};
    if (!total_line_fits(q[0], t, t.whole) || !total_line_fits(q[1], t, t.whole) ||
        !total_line_fits(q[2], t, t.whole) || !total_line_fits(q[3], t, t.whole))
        return false;
    four_readings(two_total_readings(q[0], q[1], t), two_total_readings(q[2], q[3], t), t.scale,
                  t.negative, r);
    return true;
}

// The GPU log's lines by their tail: the bytes from the reading's point (or
// its end) to the newline, which stay where they are, counted from the
// newline, whatever the number of the reading's whole digits ("231.45 W"
// and "99.87 W" end alike: a point, two digits, " W"). Four lines are
// found from the newlines of the 64 bytes ahead; the 16 bytes that end
// with each line's newline are checked against the tail learnt (its bytes,
// digits where the fraction's stand) and its whole part (digits from the
// line's first byte to the tail), and the digits gathered, those before
// the line's first byte as zeros, into eight places: the same integer, and
// the same divide, as the plain parse.
struct tail_shape {
    __m256i bytes;  // the tail's bytes, in lanes 16 - tail to 15 of each half
    __m256i fixed;  // 0xff where the byte must be the same
    __m256i digits; // 0xff where a digit must stand, if in the line
    __m256i before; // 0xff in the lanes before the tail
    __m256i order;  // the lanes of the whole part's digits, then the fraction's, to bytes 0 to 7
    int tail;       // bytes from the point, or the reading's end, to the newline, which is one of them
    unsigned whole; // how many whole digits the reading may have, at most
    double scale;   // 10 to the number of fraction digits
};

// 0 16 times, then 0xff 16 times: the 16 bytes from `length` have 0xff in
// the lanes a line of that length takes when its newline is lane 15.
alignas(32) constexpr unsigned char in_line_lanes[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// The 16 bytes at b, in both halves.
[[gnu::target("avx2")]] inline __m256i both_halves(const unsigned char* b)
{
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(b)));
}

// Learns the tail of the reading at p, in a line that ends at next: false
// where it has none to learn: more than 16 bytes from p to next, or a
// reading not of digits, a point and digits, ended by whitespace.
[[gnu::target("avx2")]] bool learn_tail(const char* p, const char* next, tail_shape& t)
{
    ptrdiff_t length = next - p;
    if (length > 16)
        return false;
    decimal_digits d = take_decimal(p);
    if (d.whole == 0 || !is_plain(d, size_t{most_lane_digits}))
        return false;
    const char* q = d.point;
    int fraction = static_cast<int>(d.fraction);
    int tail = static_cast<int>(next - q);
    int first = 16 - tail; // the lane of the tail's first byte
    alignas(16) unsigned char bytes[16] = {}, fixed[16] = {}, digits[16] = {}, before[16] = {},
                              order[16];
    std::memset(order, 0x80, sizeof order);
    for (int i = 0; i < tail; ++i) {
        bytes[first + i] = static_cast<unsigned char>(q[i]);
        bool digit = *q == '.' && i >= 1 && i <= fraction;
        (digit ? digits : fixed)[first + i] = 0xff;
    }
    int most = most_lane_digits - fraction < first ? most_lane_digits - fraction : first;
    for (int i = 0; i < first; ++i) {
        before[i] = 0xff;
        digits[i] = 0xff;
    }
    int lane = most_lane_digits - most - fraction;
    for (int i = first - most; i < first; ++i)
        order[lane++] = static_cast<unsigned char>(i);
    for (int i = 1; i <= fraction; ++i)
        order[lane++] = static_cast<unsigned char>(first + i);
    t.bytes = both_halves(bytes);
    t.fixed = both_halves(fixed);
    t.digits = both_halves(digits);
    t.before = both_halves(before);
    t.order = both_halves(order);
    t.tail = tail;
    t.whole = static_cast<unsigned>(most);
    t.scale = exact_powers_of_ten[fraction];
    return true;
}

// The lines whose newlines are at a and b from p, of lengths m and n (each
// with its newline): their digits as two_gpu_lines leaves them, or false
// if either has not the tail t.
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline bool two_tails(
    const char* p, unsigned a, unsigned b, unsigned m, unsigned n, const tail_shape& t,
    __m256i& digits)
{
    if (m - static_cast<unsigned>(t.tail) - 1 >= t.whole ||
        n - static_cast<unsigned>(t.tail) - 1 >= t.whole)
        return false;
    __m256i v = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + a - 15))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + b - 15)), 1);
    __m256i in_line = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in_line_lanes + m))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in_line_lanes + n)), 1);
    __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
    __m256i is_digit = _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(9)), d);
    __m256i fits = _mm256_or_si256(
        _mm256_or_si256(_mm256_and_si256(_mm256_cmpeq_epi8(v, t.bytes), t.fixed),
                        _mm256_and_si256(is_digit, t.digits)),
        _mm256_andnot_si256(in_line, t.before));
    if (_mm256_movemask_epi8(fits) != -1)
        return false;
    digits = _mm256_shuffle_epi8(_mm256_and_si256(d, in_line), t.order);
    return true;
}

// The four lines at p by their tail t: their readings in r, and their
// bytes in *length, or false if any has not the tail, or they do not end
// in the 64 bytes from p (the GPU log's four) or, in_pairs, two in the 64
// bytes from p and two in the 64 from the third's start (the total-power
// log's; 128-bit masks cost more than the second look). The GPU log's
// readings start their lines; where prefix is given (the total-power
// log's), each line's bytes up to the reading must have its shape (its
// bytes, digits where it had digits), so that the reading stands where
// prefix's did. The 64 bytes from p lie in the range (128 in_pairs), 32
// from each line's start where prefix is given, and the 15 bytes before p.
template <bool in_pairs>
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline bool four_tails(
    const char* p, const total_line_shape* prefix, const tail_shape& t, double* r,
    ptrdiff_t* length)
{
    // Only the newlines are looked at; the whitespace goes unused.
    uint64_t space, newline;
    wide_masks::of_64(p, space, newline);
    unsigned from = prefix != nullptr ? static_cast<unsigned>(prefix->from) : 0;
    uint32_t before = (uint32_t{1} << from) - 1;
    unsigned e[4], m[4];
    unsigned start = 0;
    unsigned base = 0;
    for (int i = 0; i < 4; ++i) {
        if (in_pairs && i == 2) {
            base = start;
            wide_masks::of_64(p + base, space, newline);
        }
        if (newline == 0 || (prefix != nullptr && !total_line_fits(p + start, *prefix, before)))
            return false;
        e[i] = base + lowest_bit(newline);
        newline &= newline - 1;
        m[i] = e[i] + 1 - start - from;
        start = e[i] + 1;
    }
    __m256i first, second;
    if (!two_tails(p, e[0], e[1], m[0], m[1], t, first) ||
        !two_tails(p, e[2], e[3], m[2], m[3], t, second))
        return false;
    four_readings(first, second, t.scale, false, r);
    *length = start;
    return true;
}

// A line's shape both ways: by its whole bytes, which four lines of one
// width match at the least cost, and by its tail, which they match
// whatever the width. The whole bytes are tried until four lines do not
// match them, the tail from then on, until the next shape is learnt: a
// guess between the two at every four lines would be lost as often as the
// widths change.
template <class Line>
struct shape_pair {
    Line line;
    tail_shape tail;
    bool by_line;
    bool by_tail;
};

// The two logs' ways of taking lines by shape, for the loop below: the
// shape, how it is learnt (false where neither way was), how four lines
// are checked each way, and the bytes that must lie in the range for four
// lines. A total-power line's tail is checked with its bytes up to the
// reading, so it is learnt only with them.
struct gpu_shapes {
    using shape = shape_pair<gpu_line_shape>;
    static constexpr ptrdiff_t room = 80;
    [[gnu::target("avx2")]] static bool learn(const char* p, const char* next, shape& t)
    {
        t.by_line = learn_gpu_shape(p, next, t.line);
        t.by_tail = learn_tail(p, next, t.tail);
        return t.by_line || t.by_tail;
    }
    [[gnu::target("avx2")]] static bool four_lines(const char* p, const shape& t, double* r)
    {
        return four_gpu_lines(p, t.line, r);
    }
    [[gnu::target("avx2,bmi,bmi2")]] static bool four_by_tail(const char* p, const shape& t,
                                                              double* r, ptrdiff_t* length)
    {
        return four_tails<false>(p, nullptr, t.tail, r, length);
    }
};

struct total_shapes {
    using shape = shape_pair<total_line_shape>;
    static constexpr ptrdiff_t room = 5 * 32;
    [[gnu::target("avx2")]] static bool learn(const char* p, const char* next, shape& t)
    {
        t.by_line = learn_total_shape(p, next, t.line);
        t.by_tail = t.by_line && !t.line.negative && learn_tail(p + t.line.from, next, t.tail);
        return t.by_line;
    }
    [[gnu::target("avx2")]] static bool four_lines(const char* p, const shape& t, double* r)
    {
        return four_total_lines(p, t.line, r);
    }
    [[gnu::target("avx2,bmi,bmi2")]] static bool four_by_tail(const char* p, const shape& t,
                                                              double* r, ptrdiff_t* length)
    {
        return four_tails<true>(p, &t.line, t.tail, r, length);
    }
};

// Four lines by the shape t, whole lines while they match, tails from the
// first miss on: their readings in r and their bytes in *length, or false.
template <class Shapes>
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline bool four_by_shape(
    const char* p, const char* begin, typename Shapes::shape& t, double* r, ptrdiff_t* length)
{
    if (t.by_line) {
        if (Shapes::four_lines(p, t, r)) {
            *length = 4 * t.line.length;
            return true;
        }
        t.by_line = false;
    }
    return t.by_tail && p - begin >= 15 && Shapes::four_by_tail(p, t, r, length);
}


// The GPU and total-power logs' lines, a window of 64 bytes at a time,
// whatever the width of their readings. The window's bytes are classified
// into bit masks (digits, points, whitespace, newlines); each line that
// ends in it is found from the newlines, its reading's start and end from
// the other masks, and a reading of the shape meters write (up to eight
// digits with at most one point among them, starting where the rule says
// and ended by whitespace) is converted with no branch on its width: its
// digits are moved by one byte shuffle, chosen by the reading's length and
// where its point stands, into eight places, made one integer by
// multiply-adds and divided by the power of ten. That is the plain parse's
// arithmetic (an integer of at most eight digits, exact, and one IEEE
// divide), so the readings are the same bits. A line of any other shape
// takes the usual way.

// For a reading of `length` bytes (up to 15) with its point at `point`
// (length where it has none): the shuffle that puts its digits in bytes 8 -
// n to 7, zeros below and above, and the power of ten its integer is
// divided by; or bad, where it has no digit or more than eight.
struct window_reading_shape {
    unsigned char shuffle[16];
    double scale;
    uint64_t bad;
};

struct window_tables {
    window_reading_shape of[16][16];
};

constexpr window_tables make_window_tables()
{
    window_tables t{};
    for (int length = 0; length < 16; ++length)
        for (int point = 0; point < 16; ++point) {
            window_reading_shape& w = t.of[length][point];
            int n = length - (point < length);
            w.bad = n < 1 || n > most_lane_digits;
            w.scale = point < length ? exact_powers_of_ten[length - point - 1] : 1.0;
            for (int i = 0; i < 16; ++i)
                w.shuffle[i] = 0x80;
            int lane = most_lane_digits - n;
            for (int i = 0; i < length && !w.bad; ++i)
                if (i != point)
                    w.shuffle[lane++] = static_cast<unsigned char>(i);
        }
    return t;
}

alignas(64) constexpr window_tables window = make_window_tables();

// Bit i: p[i] is not a digit nor a point, is a point, is whitespace, is a
// newline (the last two as the CPU log's masks have them).
[[gnu::target("avx2")]] inline void classify_window(const char* p, uint64_t& stop, uint64_t& point,
                                                    uint64_t& space, uint64_t& newline)
{
    wide_masks::of_64(p, space, newline);
    uint32_t d[2], t[2];
    for (int half = 0; half < 2; ++half) {
        __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * half));
        __m256i less = _mm256_sub_epi8(bytes, _mm256_set1_epi8('0'));
        __m256i is_digit = _mm256_cmpeq_epi8(_mm256_min_epu8(less, _mm256_set1_epi8(9)), less);
        __m256i is_point = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('.'));
        d[half] = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(is_digit, is_point)));
        t[half] = static_cast<uint32_t>(_mm256_movemask_epi8(is_point));
    }
    stop = ~(d[0] | uint64_t{d[1]} << 32);
    point = t[0] | uint64_t{t[1]} << 32;
}

// The reading that starts at bit f of the window at p, if it has the shape
// meters write: sets reading and returns true. 16 bytes from p + f lie in
// the range.
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline bool window_reading(
    const char* p, unsigned f, uint64_t stop, uint64_t point, uint64_t space, double& reading)
{
    unsigned length = static_cast<unsigned>(__builtin_ctzll(stop >> f));
    uint64_t points = _bzhi_u64(point >> f, length);
    unsigned at = static_cast<unsigned>(__builtin_ctzll(points | uint64_t{1} << length));
    const window_reading_shape& w = window.of[length & 15][at & 15];
    uint64_t bad = (points & (points - 1)) | w.bad | (~space >> (f + length) & 1) | length >> 4;
    if (bad != 0)
        return false;
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + f));
    __m128i d = _mm_shuffle_epi8(
        _mm_sub_epi8(bytes, _mm_set1_epi8('0')),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(w.shuffle)));
    d = _mm_maddubs_epi16(d, _mm_set1_epi16(0x010a));
    d = _mm_madd_epi16(d, _mm_set1_epi32(0x00010064));
    d = _mm_packus_epi32(d, d);
    d = _mm_madd_epi16(d, _mm_set1_epi32(0x00012710));
    reading = static_cast<double>(_mm_cvtsi128_si32(d)) / w.scale;
    return true;
}

// A CPU line of up to 64 bytes, each of its fields of the shape meters
// write that starts in its first 48 bytes (the conversion reads 16 bytes
// from there, and 64 from the line's start lie in the range) converted as
// the windows convert a reading, with one shuffle whatever its width; the
// others as cpu_line_masked converts them, which pays where fields' widths
// change from line to line (bench/perftest, "cpu" rows). A line a few bytes
// longer (a host's full name) is read here too where its newline is in the
// 16 bytes after the window and its first seven fields start in it, which
// costs less than 128-bit masks.
struct window_cpu_line {
    // The field at bit f of the line at p, by the window's masks; where
    // the line ends past the window, its whitespace from byte 64 on is
    // `beyond` (its newline among it), else beyond is 0.
    struct field {
        const char* p;
        uint64_t stop, point, space;
        uint32_t beyond;
        log_shape& shape;
        [[gnu::target("avx2,bmi,bmi2")]] double operator()(unsigned f) const
        {
            // A field that reaches the window's last byte is not the windows'.
            double reading;
            if (f <= 48 && window_reading(p, f, stop | uint64_t{1} << 63, point, space, reading))
                return reading;
            uint64_t after = space >> f;
            unsigned length = after != 0 ? lowest_bit(after) : 64 - f + lowest_bit(beyond);
            return scan_field(p + f, length, p, shape);
        }
    };
    [[gnu::target("avx2,bmi,bmi2")]] static const char* read(const char* p, const char* end,
                                                             double& reading1, double& reading2,
                                                             log_shape& shape)
    {
        uint64_t stop, point, space, newline;
        classify_window(p, stop, point, space, newline);
        if (newline != 0)
            return cpu_fields(p, space, lowest_bit(newline), reading1, reading2, shape,
                              field{p, stop, point, space, 0, shape});
        if (end - p < 80)
            return nullptr;
        uint32_t beyond, beyond_newline;
        wide_masks::of_16(p + 64, beyond, beyond_newline);
        uint64_t starts = ~space & (space << 1 | 1);
        uint64_t third = starts;
        for (int i = 1; i < cpu_kind.fields[0]; ++i)
            third = _blsr_u64(third);
        uint64_t seventh = third;
        for (int i = cpu_kind.fields[0]; i < cpu_kind.fields[1]; ++i)
            seventh = _blsr_u64(seventh);
        if (beyond_newline == 0 || seventh == 0)
            return nullptr;
        field convert{p, stop, point, space, beyond, shape};
        reading1 = convert(lowest_bit(third));
        reading2 = convert(lowest_bit(seventh));
        return p + 64 + lowest_bit(beyond_newline) + 1;
    }
};

[[gnu::target("avx2,bmi,bmi2"), gnu::flatten]] void cpu_lines_wide(const char* begin, const char* end,
                                                            energy_summary& s, log_shape& shape)
{
    cpu_lines<window_cpu_line>(begin, end, s, shape);
}

[[gnu::target("avx2,bmi,bmi2"), gnu::flatten]] double* keep_cpu_wide(const char* begin, const char* end,
                                                             double* out, log_shape& shape)
{
    keep_sink sink = {out};
    scan_cpu_lines<keep_sink, window_cpu_line>(begin, end, sink, shape);
    return sink.out;
}

// Where each log's rule finds its reading in the line from bit s to its
// newline at bit n: the GPU log's at the line's start, the total-power
// log's after its second whitespace character. Returns n where there is no
// reading to look at there.
struct gpu_field {
    static unsigned at(unsigned s, unsigned, uint64_t) { return s; }
};
struct total_field {
    [[gnu::target("avx2,bmi,bmi2")]] static unsigned at(unsigned s, unsigned n, uint64_t space)
    {
        uint64_t after = space >> s;
        for (int i = 1; i < total_power_kind.after_whitespace; ++i)
            after &= after - 1;
        unsigned f = s + static_cast<unsigned>(__builtin_ctzll(after | uint64_t{1} << 63)) + 1;
        return f < n ? f : n;
    }
};

// The lines that end in the window of 64 bytes at p, 80 bytes of which lie
// in the range: each line's reading to the sink. Returns the next line;
// last is set to the first byte of the last line read.
template <class Field, class Rule, class Sink>
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline const char* window_of_lines(
    const char* p, const char* end, Sink& sink, log_shape& shape, uint64_t& lines,
    const char*& last)
{
    double r[1];
    uint64_t stop, point, space, newline;
    classify_window(p, stop, point, space, newline);
    if (newline == 0) {
        last = p;
        p = Rule::walk(p, end, r, shape);
        sink.add(r[0]);
        ++lines;
        return p;
    }
    unsigned s = 0;
    uint64_t left = newline;
    do {
        last = p + s;
        unsigned n = static_cast<unsigned>(__builtin_ctzll(left));
        left &= left - 1;
        unsigned f = Field::at(s, n, space);
        if (f >= n || !window_reading(p, f, stop, point, space, r[0]))
            Rule::walk(p + s, end, r, shape);
        sink.add(r[0]);
        s = n + 1;
    } while (left != 0);
    lines += static_cast<uint64_t>(__builtin_popcountll(newline));
    return p + s;
}

// The sum's sink where readings come four at a time (four lines read by
// shape, or readings kept). The four weighted readings are added one by
// one, in order; only where the sum ends in a NaN are they added again by
// add_figures, which picks the NaN to keep (a NaN, once in the sum, stays).
// The negatives are counted; the other statistics go lane by lane, each
// lane keeping the lowest and highest of its readings and the smallest
// step, folded into the range at the end: the figures reading_range::see
// gives one reading at a time, but for which of 0 and -0 is kept, which no
// warning tells apart (a lowest is told only below 0, a highest only above
// 5000 W, a step only against 0). Readings one at a time go to the range
// as they stand.
struct four_sum_sink {
    sum_sink one;
    __m256d lowest, highest, steepest;

    [[gnu::target("avx2"), gnu::always_inline]] explicit four_sum_sink(const sum_sink& s)
        : one(s), lowest(_mm256_set1_pd(HUGE_VAL)), highest(_mm256_set1_pd(-HUGE_VAL)),
          steepest(_mm256_set1_pd(HUGE_VAL))
    {
    }
    void add(double reading) { one.add(reading); }
    [[gnu::target("avx2"), gnu::always_inline]] void add4(const double* r)
    {
        double sum = one.first;
        for (int i = 0; i < 4; ++i)
            sum = r[i] * one.weight + sum;
        if (std::isnan(sum)) {
            sum = one.first;
            for (int i = 0; i < 4; ++i)
                sum = add_figures(r[i] * one.weight, sum);
        }
        one.first = sum;
        __m256d v = _mm256_loadu_pd(r);
        __m256d before = _mm256_blend_pd(_mm256_permute4x64_pd(v, 0x90),
                                         _mm256_set1_pd(one.range.last), 1);
        lowest = _mm256_min_pd(v, lowest);
        highest = _mm256_max_pd(v, highest);
        steepest = _mm256_min_pd(_mm256_sub_pd(v, before), steepest);
        one.range.negatives += negatives_of(v);
        one.range.last = r[3];
    }
    // The sum sink with every lane folded into its range.
    [[gnu::target("avx2"), gnu::always_inline]] sum_sink folded() const
    {
        alignas(32) double low[4], high[4], steep[4];
        _mm256_store_pd(low, lowest);
        _mm256_store_pd(high, highest);
        _mm256_store_pd(steep, steepest);
        sum_sink s = one;
        for (int i = 0; i < 4; ++i) {
            s.range.lowest = low[i] < s.range.lowest ? low[i] : s.range.lowest;
            s.range.highest = high[i] > s.range.highest ? high[i] : s.range.highest;
            s.range.steepest = steep[i] < s.range.steepest ? steep[i] : s.range.steepest;
        }
        return s;
    }
};

// Four lines at a time while they have the shape last learnt. Where they do
// not, windows of lines, the last line of which is learnt. Where a shape
// held for fewer than 256 lines, windows go by before the next is learnt,
// twice as many as the last time up to 1024, so that a log whose lines
// break every shape pays next to nothing for the guesses, and one whose
// shape changes now and then loses little.
template <class Shapes, class Field, class Rule, class Sink>
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline void scan_by_shape(
    const char* begin, const char* end, Sink& sink, log_shape& shape)
{
    typename Shapes::shape t{};
    bool known = false;
    int held = 0;
    int wait = 0;
    int pause = 8;
    const char* p = begin;
    uint64_t lines = 0;
    double r[4];
    while (end - p >= Shapes::room) {
        if (known) {
            ptrdiff_t length;
            if (four_by_shape<Shapes>(p, begin, t, r, &length)) {
                sink.add4(r);
                p += length;
                lines += 4;
                ++held;
                continue;
            }
            known = false;
            pause = held < 64 ? (pause < 1024 ? 2 * pause : pause) : 8;
            wait = held < 64 ? pause : 0;
        }
        // Windows, until the wait is over; the last line of the last one is
        // learnt.
        const char* line = nullptr;
        while (end - p >= Shapes::room) {
            p = window_of_lines<Field, Rule>(p, end, sink, shape, lines, line);
            if (wait == 0)
                break;
            --wait;
        }
        if (line != nullptr) {
            known = Shapes::learn(line, p, t);
            held = 0;
        }
    }
    shape.lines += lines;
    scan_lines<Rule>(p, end, sink, shape);
}

// A one-reading log's lines by its shapes (Shapes, Field), into its figure
// or kept.
template <class Shapes, class Field, class Rule>
[[gnu::target("avx2,bmi,bmi2"), gnu::flatten]] void one_reading_lines_wide(const char* begin, const char* end,
                                                                    double weight, energy_summary& s,
                                                                    log_shape& shape)
{
    four_sum_sink sink(start_sink(s.*Rule::figure, weight, shape));
    scan_by_shape<Shapes, Field, Rule>(begin, end, sink, shape);
    sum_sink done = sink.folded();
    s.*Rule::figure = done.first;
    end_sink(done, shape);
}

template <class Shapes, class Field, class Rule>
[[gnu::target("avx2,bmi,bmi2"), gnu::flatten]] double* keep_one_reading_wide(const char* begin, const char* end,
                                                                      double* out, log_shape& shape)
{
    keep_sink sink = {out};
    scan_by_shape<Shapes, Field, Rule>(begin, end, sink, shape);
    shape.readings.negatives += sink.negatives;
    return sink.out;
}

[[gnu::target("avx2"), gnu::flatten]] void add_kept_wide(const double* readings, size_t count,
                                                       sum_sink& into)
{
    four_sum_sink sink(into);
    size_t i = 0;
    for (; count - i >= 4; i += 4)
        sink.add4(readings + i);
    for (; i < count; ++i)
        sink.add(readings[i]);
    into = sink.folded();
}

// glibc has asked the CPU already, for its own string functions: asking
// again costs a trap to the hypervisor per question on a virtual machine,
// a part of a small run's start that shows. The windows' bit operations
// (BMI1, BMI2) come with AVX2 on every CPU that has it; they are asked for
// all the same.
bool cpu_has_avx2()
{
#if defined(ENERGY_TOTALS_GLIBC_CPU_FEATURES)
    return CPU_FEATURE_ACTIVE(AVX2) && CPU_FEATURE_ACTIVE(BMI1) && CPU_FEATURE_ACTIVE(BMI2);
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2");
#endif
}
#endif

} // namespace

bool line_kernel_available(line_kernel k)
{
#if defined(ENERGY_TOTALS_WIDE_MASKS)
    static const bool avx2 = cpu_has_avx2();
    return k == line_kernel::portable || avx2;
#else
    return k == line_kernel::portable;
#endif
}

line_kernel lines_kernel =
    line_kernel_available(line_kernel::avx2) ? line_kernel::avx2 : line_kernel::portable;

const char* line_kernel_name(line_kernel k)
{
    return k == line_kernel::avx2 ? "avx2" : "portable";
}

#if defined(ENERGY_TOTALS_WIDE_MASKS)
namespace {

// whitespace_bits' masks, 16 bytes a load, the last one ending at the
// line's end: within the line, and never a load of bytes just copied,
// which would wait for the copy's stores. Flattened, as the loops built
// for AVX2 are.
[[gnu::target("avx2"), gnu::flatten]] uint64_t wide_whitespace_bits(const char* p, size_t n, uint64_t space)
{
    uint32_t bits, newline;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        wide_masks::of_16(p + i, bits, newline);
        space |= uint64_t{bits} << i;
    }
    if (i < n) {
        wide_masks::of_16(p + n - 16, bits, newline);
        space |= uint64_t{bits} << (n - 16);
    }
    return space;
}

} // namespace
#endif

#if defined(ENERGY_TOTALS_WIDE_MASKS)
namespace {

[[gnu::target("avx2")]] uint64_t wide_newline_bits(const char* p)
{
    uint64_t space, newline;
    wide_masks::of_64(p, space, newline);
    return newline;
}

} // namespace
#endif

uint64_t newline_bits(const char* p, size_t n)
{
#if defined(ENERGY_TOTALS_WIDE_MASKS)
    if (lines_kernel == line_kernel::avx2 && n == 64)
        return wide_newline_bits(p);
#endif
    uint64_t bits = 0;
    for (const char* q = p; (q = static_cast<const char*>(std::memchr(q, '\n', static_cast<size_t>(p + n - q)))) != nullptr; ++q)
        bits |= uint64_t{1} << (q - p);
    return bits;
}

uint64_t whitespace_bits(const char* p, size_t n)
{
    uint64_t space = n < 64 ? ~uint64_t{0} << n : 0;
#if defined(ENERGY_TOTALS_WIDE_MASKS)
    if (lines_kernel == line_kernel::avx2 && n >= 16)
        return wide_whitespace_bits(p, n, space);
#endif
    for (size_t i = 0; i < n; ++i)
        space |= is_space(p[i]) ? uint64_t{1} << i : 0;
    return space;
}

#if defined(ENERGY_TOTALS_WIDE_MASKS)
namespace {

// Whether the AVX2 kernel runs.
bool avx2_lines()
{
    return lines_kernel == line_kernel::avx2;
}

} // namespace
#endif

void gpu_power_line(const char* p, const char* end, log_shape& shape, double* readings)
{
    gpu_line(p, end, readings[0], shape);
}

void total_power_line(const char* p, const char* end, log_shape& shape, double* readings)
{
    total_line(p, end, readings[0], shape);
}

void cpu_power_line(const char* p, const char* end, log_shape& shape, double* readings)
{
    cpu_line(p, end, readings[0], readings[1], shape);
}

namespace {

// A one-reading log's lines into its figure, or kept, by the kernel that
// runs.
template <class Rule, class Shapes, class Field>
void add_one_reading(const char* begin, const char* end, energy_summary& s, log_shape& shape, double weight)
{
#if defined(ENERGY_TOTALS_WIDE_MASKS)
    if (avx2_lines())
        return one_reading_lines_wide<Shapes, Field, Rule>(begin, end, weight, s, shape);
#endif
    one_reading_lines<Rule>(begin, end, weight, s, shape);
}

template <class Rule, class Shapes, class Field>
double* keep_one_reading(const char* begin, const char* end, double* out, log_shape& shape)
{
#if defined(ENERGY_TOTALS_WIDE_MASKS)
    if (avx2_lines())
        return keep_one_reading_wide<Shapes, Field, Rule>(begin, end, out, shape);
#endif
    keep_sink sink = {out};
    scan_lines<Rule>(begin, end, sink, shape);
    shape.readings.negatives += sink.negatives;
    return sink.out;
}

} // namespace

void add_total_power_lines(const char* begin, const char* end, energy_summary& s, log_shape& shape, double weight)
{
    add_one_reading<total_rule, total_shapes, total_field>(begin, end, s, shape, weight);
}

void add_gpu_power_lines(const char* begin, const char* end, energy_summary& s, log_shape& shape, double weight)
{
    add_one_reading<gpu_rule, gpu_shapes, gpu_field>(begin, end, s, shape, weight);
}

void add_cpu_power_lines(const char* begin, const char* end, energy_summary& s, log_shape& shape, double)
{
#if defined(ENERGY_TOTALS_WIDE_MASKS)
    if (avx2_lines()) {
        cpu_lines_wide(begin, end, s, shape);
        return;
    }
#endif
    cpu_lines(begin, end, s, shape);
}

double* keep_total_power_readings(const char* begin, const char* end, double* out, log_shape& shape)
{
    return keep_one_reading<total_rule, total_shapes, total_field>(begin, end, out, shape);
}

double* keep_gpu_power_readings(const char* begin, const char* end, double* out, log_shape& shape)
{
    return keep_one_reading<gpu_rule, gpu_shapes, gpu_field>(begin, end, out, shape);
}

double* keep_cpu_power_readings(const char* begin, const char* end, double* out, log_shape& shape)
{
#if defined(ENERGY_TOTALS_WIDE_MASKS)
    if (avx2_lines())
        return keep_cpu_wide(begin, end, out, shape);
#endif
    keep_sink sink = {out};
    scan_cpu_lines(begin, end, sink, shape);
    return sink.out;
}

void add_kept_readings(const double* readings, size_t count, double weight, double& figure,
                       reading_range& range)
{
    sum_sink sink = {figure, weight, range};
#if defined(ENERGY_TOTALS_WIDE_MASKS)
    if (avx2_lines())
        add_kept_wide(readings, count, sink);
    else
#endif
        for (size_t i = 0; i < count; ++i)
            sink.add(readings[i]);
    figure = sink.first;
    range = sink.range;
}
void add_kept_cpu_readings(const double* readings, size_t lines, double& cpu1, double& cpu2)
{
    cpu_sum_sink sink = {cpu1, cpu2};
    for (size_t i = 0; i < lines; ++i)
        sink.add(readings[2 * i], readings[2 * i + 1]);
    cpu1 = sink.cpu1;
    cpu2 = sink.cpu2;
}
