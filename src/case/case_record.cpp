// The record of a case, written as one line of JSON.
#include "case/case_record.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// A double as JSON: the shortest of %.15g, %.16g and %.17g that reads back
// to the same bits; null for nan and the infinities, which JSON lacks.
void put_number(FILE* out, double value)
{
    if (!std::isfinite(value)) {
        std::fputs("null", out);
        return;
    }
    char text[32];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value)
            break;
    }
    std::fputs(text, out);
}

void put_key(FILE* out, const char* key, bool first = false)
{
    std::fprintf(out, "%s\"%s\":", first ? "" : ",", key);
}

void put_string_or_null(FILE* out, const char* text)
{
    if (text == nullptr)
        std::fputs("null", out);
    else
        put_json_string(out, text, std::strlen(text));
}

// A time of day on the node's clock, "HH:MM:SS.nnnnnnnnn", for logs whose
// stamps have no date.
void put_time_of_day(FILE* out, int64_t ns)
{
    time_t seconds = static_cast<time_t>(ns / 1000000000);
    struct tm tm;
    if (localtime_r(&seconds, &tm) == nullptr) {
        std::fputs("null", out);
        return;
    }
    std::fprintf(out, "\"%02d:%02d:%02d.%09lld\"", tm.tm_hour, tm.tm_min, tm.tm_sec,
                 static_cast<long long>(((ns % 1000000000) + 1000000000) % 1000000000));
}

// An instant as ISO 8601 in UTC, to the nanosecond.
void put_instant(FILE* out, int64_t ns)
{
    time_t seconds = static_cast<time_t>(ns / 1000000000);
    int64_t fraction = ns % 1000000000;
    if (fraction < 0) {
        fraction += 1000000000;
        --seconds;
    }
    struct tm tm;
    char text[64];
    if (gmtime_r(&seconds, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm) == 0) {
        std::fputs("null", out);
        return;
    }
    std::fprintf(out, "\"%s.%09lldZ\"", text, static_cast<long long>(fraction));
}

// The figures of a summary: the node's, each CPU's and GPU's, and the totals.
void put_figures(FILE* out, const energy_summary& s, const run_options& o)
{
    put_key(out, "total_energy", true);
    put_number(out, s.total_energy);
    put_key(out, "cpu");
    for (int k = 1; k <= o.cpus; ++k) {
        std::fputs(k == 1 ? "[" : ",", out);
        put_number(out, cpu_figure(s, k));
    }
    std::fputs("]", out);
    put_key(out, "total_cpu");
    put_number(out, total_cpu(s, o.cpus));
    put_key(out, "gpu");
    int gpus = o.gpus > 4 ? o.gpus : 4;
    for (int k = 1; k <= gpus; ++k) {
        std::fputs(k == 1 ? "[" : ",", out);
        put_number(out, gpu_figure(s, k));
    }
    std::fputs("]", out);
    put_key(out, "total_gpu");
    put_number(out, total_gpu(s, gpus));
}

} // namespace

bool record_span(const record_inputs& in, int64_t* first_ns, int64_t* last_ns)
{
    bool any = false;
    for (int k = 0; k < in.meter_count; ++k) {
        const meter_view* v = in.meters[k].view;
        if (v == nullptr || !v->any)
            continue;
        *first_ns = !any || v->first_ns < *first_ns ? v->first_ns : *first_ns;
        *last_ns = !any || v->last_ns > *last_ns ? v->last_ns : *last_ns;
        any = true;
    }
    return any;
}

namespace {

// The seconds the meters cover together, from the earliest reading to the
// latest (a case over several nodes: all of theirs).
double run_seconds(const record_inputs& in)
{
    int64_t first = 0, last = 0;
    if (in.node_parts != nullptr)
        return in.nodes_seconds;
    return record_span(in, &first, &last) ? static_cast<double>(last - first) / 1e9 : 0;
}

double covered(const meter_view& v)
{
    return v.any ? static_cast<double>(v.last_ns - v.first_ns) / 1e9 : 0;
}

// What --check --record lists a case for: warnings, a meter that covers
// less than 95% of the run, or a period over one and a half times the one
// asked for. Each meter's flag is an item led by a comma but where *first
// (then cleared), its name NAME@NODE where node is given.
void put_meter_flags(FILE* out, const record_inputs& in, const char* node, bool* first)
{
    double whole = run_seconds(in);
    for (int k = 0; k < in.meter_count; ++k) {
        const record_meter& m = in.meters[k];
        auto flag = [&](const char* what) {
            std::fprintf(out, "%s\"%s:%s%s%s\"", *first ? "" : ",", what, m.name, node != nullptr ? "@" : "",
                         node != nullptr ? node : "");
            *first = false;
        };
        if (m.view == nullptr)
            continue;
        if (whole > 0 && covered(*m.view) < 0.95 * whole)
            flag("coverage");
        if (m.period_asked > 0 && static_cast<double>(m.view->intervals.median_ns) / 1e9 > 1.5 * m.period_asked)
            flag("period");
    }
}

// A list whose items, in text, are led by commas: in its brackets.
void put_list(FILE* out, const char* items)
{
    std::fprintf(out, "[%s]", items[0] == ',' ? items + 1 : items);
}

void put_flags(FILE* out, const record_inputs& in)
{
    bool first = true;
    std::fputs("[", out);
    if (in.codes != nullptr && in.codes->count > 0) {
        std::fputs("\"warnings\"", out);
        first = false;
    }
    put_meter_flags(out, in, nullptr, &first);
    if (in.node_flags != nullptr)
        std::fputs(first && in.node_flags[0] == ',' ? in.node_flags + 1 : in.node_flags, out);
    std::fputs("]", out);
}

void put_meter(FILE* out, const record_meter& m, bool dated, const char* node = nullptr)
{
    put_key(out, "meter", true);
    char name[16 + max_node_name + 2];
    std::snprintf(name, sizeof name, "%s%s%s", m.name != nullptr ? m.name : "", node != nullptr ? "@" : "",
                  node != nullptr ? node : "");
    put_string_or_null(out, m.name != nullptr ? name : nullptr);
    put_key(out, "file");
    put_string_or_null(out, m.file);
    put_key(out, "column");
    put_string_or_null(out, m.column);
    const log_shape* s = m.shape;
    put_key(out, "lines");
    std::fprintf(out, "%llu", s != nullptr ? static_cast<unsigned long long>(s->lines) : 0ULL);
    const meter_view* v = m.view;
    put_key(out, "readings");
    std::fprintf(out, "%llu", v != nullptr ? static_cast<unsigned long long>(v->readings) : 0ULL);
    // Lines passed over, and why: the header; blank lines; places where
    // a reading should stand and no number does (the header's and blank
    // lines' among them); lines whose stamp is missing or not later than
    // the one before.
    put_key(out, "passed_over");
    std::fprintf(out, "{\"header\":%d,\"blank_lines\":%llu,\"no_number\":%llu,\"bad_stamp\":%llu}",
                 s != nullptr && s->header ? 1 : 0,
                 s != nullptr ? static_cast<unsigned long long>(s->blanks.leading + s->blanks.among + s->blanks.trailing)
                              : 0ULL,
                 s != nullptr ? static_cast<unsigned long long>(s->no_reading) : 0ULL,
                 s != nullptr ? static_cast<unsigned long long>(s->stamps.skipped) : 0ULL);
    bool timed = v != nullptr && v->any;
    put_key(out, "first");
    if (timed)
        (dated ? put_instant : put_time_of_day)(out, v->first_ns);
    else
        std::fputs("null", out);
    put_key(out, "last");
    if (timed)
        (dated ? put_instant : put_time_of_day)(out, v->last_ns);
    else
        std::fputs("null", out);
    put_key(out, "seconds");
    put_number(out, timed ? covered(*v) : 0);
    put_key(out, "median_period");
    put_number(out, timed ? static_cast<double>(v->intervals.median_ns) / 1e9 : 0);
    put_key(out, "period_asked");
    if (m.period_asked > 0)
        put_number(out, m.period_asked);
    else
        std::fputs("null", out);
    put_key(out, "gaps");
    std::fprintf(out, "%llu", timed ? static_cast<unsigned long long>(v->gaps) : 0ULL);
    put_key(out, "largest_gap");
    put_number(out, timed ? static_cast<double>(v->longest_gap_ns) / 1e9 : 0);
    put_key(out, "mean_watts");
    put_number(out, timed ? mean_power(*v) : 0);
    put_key(out, "peak_watts");
    put_number(out, timed ? v->peak : 0);
}

// The warnings: each line of their text with its code.
void put_warnings(FILE* out, const record_inputs& in)
{
    std::fputs("[", out);
    const char* p = in.warnings;
    const char* end = p + in.warnings_size;
    for (int i = 0; p != nullptr && p < end; ++i) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = nl != nullptr ? nl : end;
        std::fputs(i == 0 ? "{" : ",{", out);
        put_key(out, "code", true);
        put_string_or_null(out, in.codes != nullptr && i < in.codes->count ? in.codes->code[i] : "other");
        put_key(out, "text");
        put_json_string(out, p, static_cast<size_t>(stop - p));
        std::fputs("}", out);
        p = stop + 1;
    }
    std::fputs("]", out);
}

void put_phases(FILE* out, const record_inputs& in)
{
    const phase_totals* t = in.phases;
    const run_options& o = *in.options;
    std::fputs("[", out);
    for (int p = 0; t != nullptr && p < t->blocks; ++p) {
        std::fputs(p == 0 ? "{" : ",{", out);
        put_key(out, "name", true);
        put_string_or_null(out, t->names[p]);
        put_key(out, "seconds");
        put_number(out, t->seconds[p]);
        put_key(out, "figures");
        std::fputs("{", out);
        put_figures(out, t->gross[p], o);
        std::fputs("}", out);
        put_key(out, "net");
        if (t->net) {
            std::fputs("{", out);
            put_figures(out, t->net_figures[p], o);
            std::fputs("}", out);
        } else {
            std::fputs("null", out);
        }
        std::fputs("}", out);
    }
    std::fputs("]", out);
}

void put_meters(FILE* out, const record_inputs& in, const char* node)
{
    for (int k = 0; k < in.meter_count; ++k) {
        std::fputs(k == 0 && node == nullptr ? "{" : ",{", out);
        put_meter(out, in.meters[k], in.dated, node);
        std::fputs("}", out);
    }
}

} // namespace

int write_case_record(FILE* out, const record_inputs& in)
{
    const run_options& o = *in.options;
    std::fprintf(out, "{\"schema\":%d,\"tool\":\"energy-totals\",\"version\":\"%s\"", record_schema,
                 ENERGY_TOTALS_VERSION);
    put_key(out, "label");
    put_string_or_null(out, o.label);
    put_key(out, "host");
    put_string_or_null(out, in.host);
    put_key(out, "started");
    put_instant(out, in.started_ns);
    put_key(out, "duration");
    put_number(out, in.duration);
    put_key(out, "operands");
    std::fputs("[", out);
    put_string_or_null(out, o.base_name);
    std::fputs(",", out);
    put_string_or_null(out, o.write_text);
    std::fputs(",", out);
    put_string_or_null(out, o.id_text);
    std::fputs("]", out);
    put_key(out, "options");
    std::fputs("[", out);
    for (int i = 0; i < in.word_count; ++i) {
        std::fputs(i == 0 ? "" : ",", out);
        put_string_or_null(out, in.words[i]);
    }
    std::fputs("]", out);
    put_key(out, "figures");
    std::fputs("{", out);
    put_figures(out, *in.figures, o);
    std::fputs("}", out);
    put_key(out, "integration");
    std::fputs(o.step ? "\"step\"" : "\"trapezoid\"", out);
    put_key(out, "run_seconds");
    put_number(out, run_seconds(in));
    put_key(out, "meters");
    if (in.node_meters != nullptr) {
        put_list(out, in.node_meters);
    } else {
        std::fputs("[", out);
        put_meters(out, in, nullptr);
        std::fputs("]", out);
    }
    put_key(out, "warnings");
    put_warnings(out, in);
    put_key(out, "flags");
    put_flags(out, in);
    put_key(out, "phases");
    put_phases(out, in);
    if (in.node_parts != nullptr) {
        put_key(out, "nodes");
        put_list(out, in.node_parts);
    }
    std::fputs("}\n", out);
    return std::ferror(out) ? EIO : 0;
}

int write_node_record(const record_inputs& in, const char* node, FILE* meters, FILE* flags, FILE* parts)
{
    put_meters(meters, in, node);
    bool first = false;
    put_meter_flags(flags, in, node, &first);
    std::fputs(",{", parts);
    put_key(parts, "node", true);
    put_string_or_null(parts, node);
    put_key(parts, "figures");
    std::fputs("{", parts);
    put_figures(parts, *in.figures, *in.options);
    std::fputs("}", parts);
    put_key(parts, "run_seconds");
    put_number(parts, run_seconds(in));
    put_key(parts, "phases");
    put_phases(parts, in);
    std::fputs("}", parts);
    return std::ferror(meters) || std::ferror(flags) || std::ferror(parts) ? EIO : 0;
}

namespace {

// The JSON string at p (after its opening quote), decoded into out (room
// for size bytes, cut short there); returns past its closing quote, or
// nullptr where it does not close.
const char* take_json_string(const char* p, const char* end, char* out, size_t size)
{
    size_t n = 0;
    auto put = [&](unsigned c) {
        if (n + 1 < size)
            out[n++] = static_cast<char>(c);
    };
    while (p < end && *p != '"') {
        if (*p != '\\') {
            put(static_cast<unsigned char>(*p++));
            continue;
        }
        if (++p == end)
            return nullptr;
        char c = *p++;
        if (c == 'u' && end - p >= 4) {
            char hex[5] = {p[0], p[1], p[2], p[3], 0};
            auto code = static_cast<unsigned>(std::strtoul(hex, nullptr, 16));
            p += 4;
            // The record writes a byte that is no UTF-8 as \u00XX: that byte.
            if (code < 0x100) {
                put(code);
            } else if (code < 0x800) {
                put(0xc0 | code >> 6);
                put(0x80 | (code & 0x3f));
            } else {
                put(0xe0 | code >> 12);
                put(0x80 | (code >> 6 & 0x3f));
                put(0x80 | (code & 0x3f));
            }
        } else {
            char plain = c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == 'b' ? '\b' : c == 'f' ? '\f' : c;
            put(static_cast<unsigned char>(plain));
        }
    }
    out[n] = '\0';
    return p < end ? p + 1 : nullptr;
}

// The value of "key" in the record line [p, end): where it starts, or
// nullptr. The record's keys are unique and come before any string that
// could hold them quoted as a key (labels come after "label":).
const char* value_of(const char* p, const char* end, const char* key)
{
    char quoted[32];
    int n = std::snprintf(quoted, sizeof quoted, "\"%s\":", key);
    const char* at = static_cast<const char*>(memmem(p, static_cast<size_t>(end - p), quoted, static_cast<size_t>(n)));
    return at != nullptr ? at + n : nullptr;
}

} // namespace

int check_records(const char* path, FILE* out, FILE* errors, unsigned long long* records,
                  unsigned long long* flagged)
{
    FILE* in = std::fopen(path, "r");
    if (in == nullptr) {
        std::fprintf(errors, "energy-totals: %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    char* line = nullptr;
    size_t room = 0;
    ssize_t n;
    unsigned long long number = 0;
    while ((n = getline(&line, &room, in)) > 0) {
        ++number;
        const char* end = line + n;
        const char* label = value_of(line, end, "label");
        const char* flags = value_of(line, end, "flags");
        if (label == nullptr || flags == nullptr || *flags != '[') {
            std::fprintf(out, "%s line %llu: not a record\n", path, number);
            ++*flagged;
            continue;
        }
        ++*records;
        char name[1100] = "(no label)";
        if (*label == '"')
            take_json_string(label + 1, end, name, sizeof name);
        const char* p = flags + 1;
        bool first = true;
        while (p < end && *p == '"') {
            char flag[80];
            p = take_json_string(p + 1, end, flag, sizeof flag);
            if (p == nullptr)
                break;
            if (first)
                std::fprintf(out, "record of %s: %s", name, flag);
            else
                std::fprintf(out, ", %s", flag);
            first = false;
            p += p < end && *p == ',' ? 1 : 0;
        }
        if (!first) {
            std::fputs("\n", out);
            ++*flagged;
        }
    }
    bool failed = std::ferror(in) != 0;
    std::free(line);
    std::fclose(in);
    if (failed) {
        std::fprintf(errors, "energy-totals: %s: %s\n", path, std::strerror(EIO));
        return -1;
    }
    return 0;
}
