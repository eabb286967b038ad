// What a run takes from people's text for its phases and its record: any
// bytes as a marks file (or a benchmark log) and as --window give phases
// whose spans run forward, or a reason; and any bytes written as a record's
// JSON string are valid UTF-8 JSON that decodes to those same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "case/case_record.h"
#include "case/phases.h"

namespace {

// Reads the marks from bytes, through a file as the run reads them.
void check_marks(const char* bytes, size_t size)
{
    int fd = memfd_create("marks", 0);
    if (fd < 0 || write(fd, bytes, size) != static_cast<ssize_t>(size))
        std::abort();
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    phase_plan plan;
    char why[320];
    int status = read_phase_marks(path, plan, why, sizeof why);
    // The same bytes as --window, in a plan of their own.
    phase_plan windowed;
    std::string window(bytes, size < 200 ? size : 200);
    if (add_window(window.c_str(), windowed, why, sizeof why) == 0 && (windowed.from_offset || windowed.to_offset))
        (void)settle_window(windowed, 0, 1000000000, why, sizeof why);
    for (int i = 0; i < windowed.span_count; ++i)
        if (windowed.spans[i].to_ns < windowed.spans[i].from_ns)
            std::abort();
    free_phase_plan(windowed);
    for (int i = 0; status == 0 && i < plan.span_count; ++i) {
        const phase_span& s = plan.spans[i];
        if (s.to_ns < s.from_ns || s.phase < 0 || s.phase >= plan.count || plan.names[s.phase][0] == '\0')
            std::abort();
    }
    free_phase_plan(plan);
    close(fd);
}

// Decodes the JSON string at p (its quote first) to bytes, as a strict
// reader would: false where it is not a valid string.
bool decode(const std::string& text, std::string& out)
{
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + 1;
    const auto* end = reinterpret_cast<const unsigned char*>(text.data()) + text.size() - 1;
    while (p < end) {
        if (*p < 0x20 || *p == '"')
            return false;
        if (*p >= 0x80) {
            size_t n = utf8_length(p, static_cast<size_t>(end - p));
            if (n == 0)
                return false;
            out.append(reinterpret_cast<const char*>(p), n);
            p += n;
            continue;
        }
        if (*p != '\\') {
            out += static_cast<char>(*p++);
            continue;
        }
        if (end - p < 2)
            return false;
        char c = static_cast<char>(p[1]);
        if (c == '"' || c == '\\') {
            out += c;
            p += 2;
        } else if (c == 'u' && end - p >= 6) {
            char hex[5] = {static_cast<char>(p[2]), static_cast<char>(p[3]), static_cast<char>(p[4]),
                           static_cast<char>(p[5]), 0};
            char* stop;
            unsigned long code = std::strtoul(hex, &stop, 16);
            // The record writes control bytes and bytes that are no UTF-8
            // this way, and nothing else.
            if (stop != hex + 4 || code > 0xff || (code >= 0x20 && code < 0x80))
                return false;
            out += static_cast<char>(code);
            p += 6;
        } else {
            return false;
        }
    }
    return true;
}

void check_json_string(const char* bytes, size_t size)
{
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    if (out == nullptr)
        std::abort();
    put_json_string(out, bytes, size);
    std::fclose(out);
    std::string decoded;
    if (!decode(std::string(text, length), decoded) || decoded != std::string(bytes, size))
        std::abort();
    std::free(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    check_marks(bytes, size);
    check_json_string(bytes, size);
    return 0;
}
