// Text as the files a run writes for people and programs hold it: UTF-8
// kept as it is, and each byte that is no UTF-8 as the character of its
// value, so that any label or name makes valid JSON and well-formed XML.
#ifndef ENERGY_TOTALS_TEXT_H
#define ENERGY_TOTALS_TEXT_H

#include <cstddef>
#include <cstdio>

// The length of the UTF-8 character at p (n bytes left), or 0 where the
// bytes there are not one.
size_t utf8_length(const unsigned char* p, size_t n);

// Writes text as a JSON string: escaped, and each byte that is not part
// of UTF-8 as the character of its value (\u00XX).
void put_json_string(FILE* out, const char* text, size_t size);

// Writes text (NUL-terminated) as XML character data holds it: markup
// escaped, a character that XML 1.0 forbids (a control character other
// than tab and newline, U+FFFE, U+FFFF) as U+FFFD, and a byte that is no
// UTF-8 as the character of its value.
void put_xml_text(FILE* out, const char* text);

// Writes the bytes [p, p + n) as a message quotes a line or a label: its
// first `most` bytes, UTF-8 as it is, a tab, carriage return, quote or
// backslash as \t, \r, \" or \\, any other control byte or byte that is
// no UTF-8 as \xHH, and "..." where it was longer.
void quote_bytes(FILE* out, const char* p, size_t n, size_t most);

#endif
