// The reading parse against strtod: for any bytes up to a newline, the
// same double (NaN sign included) and the same end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "read/time_stamps.h"
#include "read/power_logs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    const void* nl = std::memchr(bytes, '\n', size);
    size_t length = nl ? static_cast<size_t>(static_cast<const char*>(nl) - bytes) : size;

    // The line exactly as long as it is, so the sanitizer sees any read
    // past its newline.
    char* line = static_cast<char*>(std::malloc(length + 1));
    std::memcpy(line, bytes, length);
    line[length] = '\n';
    std::string token(bytes, length); // a C string: the first NUL ends it

    const char* end = nullptr;
    double got = parse_reading(line, &end);
    char* stop = nullptr;
    double expected = std::strtod(token.c_str(), &stop);

    uint64_t got_bits, expected_bits;
    std::memcpy(&got_bits, &got, sizeof got);
    std::memcpy(&expected_bits, &expected, sizeof expected);
    if (got_bits != expected_bits)
        std::abort();
    if (stop != token.c_str() && end - line != stop - token.c_str())
        std::abort();
    if (end < line || end > line + length)
        std::abort();
    std::free(line);

    // A time stamp at the line's start, in a buffer exactly the line's size:
    // the parse reads nothing past it and ends within it.
    {
        char* exact = static_cast<char*>(std::malloc(length + 1));
        std::memcpy(exact, bytes, length);
        int64_t ns = 0;
        const char* after = nullptr;
        bool parsed = parse_time_stamp(exact, exact + length, &ns, &after);
        if (parsed && (after <= exact || after > exact + length))
            std::abort();
        // Read again after a stamp with the same first bytes, and after
        // one of its own: the same result.
        stamp_prefix prefix;
        const char* primer = "2024/05/01 10:00:00, 1";
        int64_t ignored;
        const char* ignored_end;
        parse_time_stamp(primer, primer + std::strlen(primer), &ignored, &ignored_end, &prefix);
        for (int pass = 0; pass < 2; ++pass) {
            int64_t cached_ns = 0;
            const char* cached_after = nullptr;
            bool cached = parse_time_stamp(exact, exact + length, &cached_ns, &cached_after, &prefix);
            if (cached != parsed || (parsed && (cached_ns != ns || cached_after != after)))
                std::abort();
        }
        std::free(exact);
    }

#if defined(ENERGY_TOTALS_WORD_FIELDS)
    // The line's first field, parsed where its bounds are known: the same
    // double as strtod gives for the field alone, with and without eight
    // readable bytes before its end.
    size_t field_length = 0;
    while (field_length < length && !is_space(bytes[field_length]))
        ++field_length;
    if (field_length > 0) {
        char* padded = static_cast<char*>(std::malloc(field_length + 9));
        std::memset(padded, 'x', 8);
        std::memcpy(padded + 8, bytes, field_length);
        padded[field_length + 8] = ' ';
        std::string field(bytes, field_length);
        double field_expected = std::strtod(field.c_str(), nullptr);
        double with_room = parse_field(padded + 8, field_length, padded);
        double without = parse_field(padded + 8, field_length, padded + 8);
        if (std::memcmp(&with_room, &field_expected, 8) != 0 ||
            std::memcmp(&without, &field_expected, 8) != 0)
            std::abort();
        std::free(padded);
    }
#endif
    return 0;
}
