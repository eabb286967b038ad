// Text as a record's JSON and a picture's XML hold it: UTF-8 kept, other
// bytes as the characters of their values.
#include "base/text.h"

#include <cstring>

namespace {

// Whether the UTF-8 character at p (n bytes) is one that XML 1.0 forbids:
// a control character other than tab and newline, U+FFFE or U+FFFF.
bool forbidden_in_xml(const unsigned char* p, size_t n)
{
    if (n == 1)
        return p[0] < 0x20 && p[0] != '\t' && p[0] != '\n';
    return n == 3 && p[0] == 0xef && p[1] == 0xbf && (p[2] == 0xbe || p[2] == 0xbf);
}

} // namespace

size_t utf8_length(const unsigned char* p, size_t n)
{
    size_t length = p[0] < 0xc2 ? 0 : p[0] < 0xe0 ? 2 : p[0] < 0xf0 ? 3 : p[0] < 0xf5 ? 4 : 0;
    if (length == 0 || length > n)
        return 0;
    for (size_t i = 1; i < length; ++i)
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    // Overlong forms and surrogates are not UTF-8.
    if ((p[0] == 0xe0 && p[1] < 0xa0) || (p[0] == 0xed && p[1] >= 0xa0) || (p[0] == 0xf0 && p[1] < 0x90) ||
        (p[0] == 0xf4 && p[1] >= 0x90))
        return 0;
    return length;
}

void put_json_string(FILE* out, const char* text, size_t size)
{
    std::fputc('"', out);
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < size;) {
        unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            std::fprintf(out, "\\%c", c);
        } else if (c < 0x20) {
            std::fprintf(out, "\\u%04x", c);
        } else if (c < 0x80) {
            std::fputc(c, out);
        } else if (size_t n = utf8_length(p + i, size - i); n > 0) {
            std::fwrite(p + i, 1, n, out);
            i += n;
            continue;
        } else {
            std::fprintf(out, "\\u%04x", c);
        }
        ++i;
    }
    std::fputc('"', out);
}

void put_xml_text(FILE* out, const char* text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t size = std::strlen(text);
    for (size_t i = 0; i < size;) {
        unsigned char c = p[i];
        size_t n = c >= 0x80 ? utf8_length(p + i, size - i) : 1;
        if (n > 0 && forbidden_in_xml(p + i, n))
            std::fputs("\xef\xbf\xbd", out);
        else if (c == '<')
            std::fputs("&lt;", out);
        else if (c == '>')
            std::fputs("&gt;", out);
        else if (c == '&')
            std::fputs("&amp;", out);
        else if (c == '"')
            std::fputs("&quot;", out);
        else if (c >= 0x80 && n == 0)
            std::fprintf(out, "&#x%x;", c);
        else
            std::fwrite(p + i, 1, n, out);
        i += n > 0 ? n : 1;
    }
}

void quote_bytes(FILE* out, const char* p, size_t n, size_t most)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    size_t shown = n < most ? n : most;
    for (size_t i = 0; i < shown;) {
        unsigned char c = b[i];
        size_t length = c >= 0x80 ? utf8_length(b + i, shown - i) : 1;
        if (c == '\t')
            std::fputs("\\t", out);
        else if (c == '\r')
            std::fputs("\\r", out);
        else if (c == '"' || c == '\\')
            std::fprintf(out, "\\%c", c);
        else if (c < 0x20 || c == 0x7f || length == 0)
            std::fprintf(out, "\\x%02x", c);
        else
            std::fwrite(b + i, 1, length, out);
        i += length > 0 ? length : 1;
    }
    if (n > shown)
        std::fputs("...", out);
}
