// Each meter of a case in time: its statistics and its curve, gathered as
// the readings come, drawn as SVG, written out as CSV.
#include "case/case_view.h"

#include "base/text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <unistd.h>

#include "base/open_file.h"

namespace {

constexpr double empty_low = HUGE_VAL;

// A gap in the meter's readings, the interval begun at from_ns: counted,
// the first kept to be drawn.
struct view_gap {
    meter_view& m;
    void operator()(int64_t interval, int64_t from_ns) const
    {
        if (m.gaps < view_gaps_kept) {
            m.gap_from[m.gaps] = from_ns;
            m.gap_to[m.gaps] = from_ns + interval;
        }
        ++m.gaps;
        m.longest_gap_ns = std::max(m.longest_gap_ns, interval);
    }
};

// Puts watts at time ns into the meter's curve, the spans doubling in
// width until ns falls in them. Returns the span it fell in (below 0:
// before the curve's start, not drawn).
int64_t draw_in(meter_view& m, int64_t ns, double watts)
{
    bool cached = ns >= m.span_from_ns && ns < m.span_to_ns;
    int64_t i = cached ? m.span : (ns - m.origin_ns) / m.width_ns;
    while (i >= view_spans) {
        for (int j = 0; j < view_spans / 2; ++j) {
            m.low[j] = std::min(m.low[2 * j], m.low[2 * j + 1]);
            m.high[j] = std::max(m.high[2 * j], m.high[2 * j + 1]);
            m.broken[j] = m.broken[2 * j] || m.broken[2 * j + 1];
        }
        for (int j = view_spans / 2; j < view_spans; ++j) {
            m.low[j] = static_cast<float>(empty_low);
            m.high[j] = static_cast<float>(-empty_low);
            m.broken[j] = false;
        }
        m.width_ns *= 2;
        i = (ns - m.origin_ns) / m.width_ns;
    }
    if (i < 0)
        return i;
    if (!cached) {
        m.span = i;
        m.span_from_ns = m.origin_ns + i * m.width_ns;
        m.span_to_ns = m.span_from_ns + m.width_ns;
    }
    auto w = static_cast<float>(watts);
    if (!std::isfinite(w)) {
        m.broken[i] = true;
        return i;
    }
    m.low[i] = std::min(m.low[i], w);
    m.high[i] = std::max(m.high[i], w);
    return i;
}

// A reading of watts at ns, ending an interval that began at from_ns.
void take(case_view& v, int meter, int64_t from_ns, int64_t ns, double watts, double joules)
{
    meter_view& m = v.meters[meter];
    if (!m.any) {
        m.any = true;
        m.first_ns = from_ns;
        m.origin_ns = from_ns;
        m.peak = watts;
    } else {
        watch_interval(m.intervals, ns - m.last_ns, m.last_ns, view_gap{m});
    }
    ++m.readings;
    m.not_finite += !std::isfinite(static_cast<float>(watts));
    m.last_ns = ns;
    m.energy += joules;
    m.peak = std::max(m.peak, watts);
    // Both ends of the interval; the second again only where it falls in
    // another span.
    int64_t i = draw_in(m, from_ns, watts);
    if (i < 0 || ns < from_ns || ns - m.origin_ns >= (i + 1) * m.width_ns)
        draw_in(m, ns, watts);
    if (v.series != nullptr && !put_kept_reading(v.series, meter, ns, watts) && v.series_error == 0)
        v.series_error = errno != 0 ? errno : EIO;
}

void see_point(void* context, int meter, int64_t ns, double watts)
{
    auto& v = *static_cast<case_view*>(context);
    meter_view& m = v.meters[meter];
    // The trapezoid's energy from the point before.
    double joules = m.any ? (m.last_watts + watts) * (static_cast<double>(ns - m.last_ns) / 1e9) * 0.5 : 0;
    take(v, meter, ns, ns, watts, joules);
    m.last_watts = watts;
}

void see_energy(void* context, int meter, int64_t from_ns, int64_t to_ns, double joules)
{
    auto& v = *static_cast<case_view*>(context);
    double seconds = static_cast<double>(to_ns - from_ns) / 1e9;
    take(v, meter, from_ns, to_ns, seconds > 0 ? joules / seconds : 0, joules);
}

// The k readings at joules, each over a step of seconds, whose intervals
// all lie in the span last drawn in: their energy added in order into
// *energy, and the peak and the span's lowest and highest from their
// lowest and highest joules, a division each, which is exact: a correctly
// rounded division and the conversion to float never decrease. Only where
// each is above 0 and its watts a finite float (below 1e38), so that no
// -0 or NaN makes the order of the comparisons matter; else false, with
// nothing taken.
bool take_in_span(meter_view& m, const double* joules, size_t k, double seconds, double* energy, double* peak)
{
    // One pass: the checks run beside the sum, which waits on each add.
    double lowest = joules[0], highest = joules[0], sum = *energy, most = 1e38 * seconds;
    bool fit = true;
    for (size_t i = 0; i < k; ++i) {
        fit &= (joules[i] > 0) & (joules[i] <= most);
        lowest = std::min(lowest, joules[i]);
        highest = std::max(highest, joules[i]);
        sum += joules[i];
    }
    if (!fit)
        return false;
    *energy = sum;
    *peak = std::max(*peak, highest / seconds);
    m.low[m.span] = std::min(m.low[m.span], static_cast<float>(lowest / seconds));
    m.high[m.span] = std::max(m.high[m.span], static_cast<float>(highest / seconds));
    return true;
}

// As see_energy for each reading. Past the first (whose interval from the
// reading before may be any), each reading's interval is the step: once
// the median is known and the step is no gap by it, what take does comes
// down to the sums and the curve, kept in registers here; without a
// series, the readings in the span last drawn in taken at once.
void see_energy_run(void* context, int meter, int64_t from_ns, int64_t step_ns, const double* joules, size_t n)
{
    auto& v = *static_cast<case_view*>(context);
    meter_view& m = v.meters[meter];
    double seconds = static_cast<double>(step_ns) / 1e9;
    size_t i = 0;
    for (; i < n && (i == 0 || m.intervals.median_ns == 0 || step_ns <= 0 || is_gap(m.intervals, step_ns)); ++i, from_ns += step_ns)
        take(v, meter, from_ns, from_ns + step_ns, seconds > 0 ? joules[i] / seconds : 0, joules[i]);
    if (i == n)
        return;
    double energy = m.energy, peak = m.peak;
    uint64_t not_finite = m.not_finite;
    m.readings += n - i;
    for (; i < n; ++i, from_ns += step_ns) {
        if (v.series == nullptr && from_ns >= m.span_from_ns && from_ns < m.span_to_ns) {
            // The readings from here whose intervals end before the span does.
            size_t k = std::min(n - i, static_cast<size_t>((m.span_to_ns - from_ns - 1) / step_ns));
            if (k > 1 && take_in_span(m, joules + i, k, seconds, &energy, &peak)) {
                i += k - 1;
                from_ns += static_cast<int64_t>(k - 1) * step_ns;
                continue;
            }
        }
        double watts = joules[i] / seconds;
        energy += joules[i];
        peak = std::max(peak, watts);
        auto w = static_cast<float>(watts);
        bool finite = std::isfinite(w);
        not_finite += !finite;
        int64_t to = from_ns + step_ns;
        if (from_ns >= m.span_from_ns && to < m.span_to_ns && finite) {
            // Both ends in the span last drawn in: the case of nearly all.
            m.low[m.span] = std::min(m.low[m.span], w);
            m.high[m.span] = std::max(m.high[m.span], w);
        } else if (draw_in(m, from_ns, watts) < 0 || to >= m.span_to_ns) {
            draw_in(m, to, watts);
        }
        if (v.series != nullptr && !put_kept_reading(v.series, meter, to, watts) && v.series_error == 0)
            v.series_error = errno != 0 ? errno : EIO;
    }
    m.last_ns = from_ns;
    m.energy = energy;
    m.peak = peak;
    m.not_finite = not_finite;
}

} // namespace

namespace {

// Sets the meters' curves to hold no power yet.
void empty_curves(case_view& view)
{
    for (meter_view& m : view.meters) {
        std::fill(m.low, m.low + view_spans, static_cast<float>(empty_low));
        std::fill(m.high, m.high + view_spans, static_cast<float>(-empty_low));
    }
}

} // namespace

int reset_case_view(case_view& view)
{
    for (meter_view& m : view.meters)
        m = meter_view{};
    empty_curves(view);
    view.series_error = 0;
    if (view.series == nullptr)
        return 0;
    if (std::fflush(view.series) != 0 || ftruncate(fileno(view.series), 0) != 0)
        return errno != 0 ? errno : EIO;
    std::rewind(view.series);
    return 0;
}

bool start_case_view(case_view& view, const char* series)
{
    empty_curves(view);
    if (series == nullptr)
        return true;
    // Beside the series, on the file system that is to hold it, rather
    // than in a /tmp that may be small; removed at once, so that nothing
    // is left of it.
    char temp[4096];
    int fd = make_temporary(series, temp, sizeof temp, 0600);
    if (fd >= 0)
        (void)unlink(temp);
    view.series = fd >= 0 ? fdopen(fd, "w+") : nullptr;
    if (view.series == nullptr && fd >= 0)
        (void)close(fd);
    return view.series != nullptr;
}

void free_case_view(case_view& view)
{
    if (view.series != nullptr)
        std::fclose(view.series);
    view.series = nullptr;
}

reading_observer view_observer(case_view& view)
{
    reading_observer o;
    o.context = &view;
    o.point = see_point;
    o.energy = see_energy;
    o.energy_run = see_energy_run;
    return o;
}

void finish_case_view(case_view& view)
{
    for (meter_view& m : view.meters)
        if (m.any)
            settle_watch(m.intervals, view_gap{m});
}

double mean_power(const meter_view& m)
{
    double seconds = static_cast<double>(m.last_ns - m.first_ns) / 1e9;
    return seconds > 0 ? m.energy / seconds : 0;
}

namespace {

// A step of ticks for a range: 1, 2 or 5 times a power of ten, about six
// to the range.
double tick_step(double range)
{
    double raw = range / 6;
    double ten = std::pow(10, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * ten >= raw)
            return m * ten;
    return 10 * ten;
}

// The lowest and highest power of a meter's curve in [from, to); *broken
// where a reading there was no finite number.
bool curve_between(const meter_view& m, int64_t from, int64_t to, float* low, float* high, bool* broken)
{
    int64_t first = std::max<int64_t>((from - m.origin_ns) / m.width_ns - (from < m.origin_ns ? 1 : 0), 0);
    int64_t last = std::min<int64_t>((to - 1 - m.origin_ns) / m.width_ns, view_spans - 1);
    *low = static_cast<float>(empty_low);
    *high = static_cast<float>(-empty_low);
    *broken = false;
    for (int64_t i = first; i <= last && to > m.origin_ns; ++i) {
        *low = std::min(*low, m.low[i]);
        *high = std::max(*high, m.high[i]);
        *broken = *broken || m.broken[i];
    }
    return *low <= *high;
}


// Opens a picture of width by height, white, with its title.
void start_svg(FILE* out, double width, double height, const char* title)
{
    std::fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" viewBox=\"0 0 %g %g\" "
                      "font-family=\"sans-serif\" font-size=\"12\">\n"
                      "<rect width=\"%g\" height=\"%g\" fill=\"#ffffff\"/>\n",
                 width, height, width, height, width, height);
    std::fputs("<text x=\"72\" y=\"24\" font-size=\"15\">", out);
    put_xml_text(out, title);
    std::fputs("</text>\n", out);
}

// Where a plot stands in its picture, and what its axes span: seconds from
// start across its columns, watts from y_low to y_high up its height.
struct plot_frame {
    double left, top, height;
    int columns;
    int64_t start;
    double seconds;
    double y_low, y_high, y_step;
    double x_of(double s) const { return left + s / seconds * columns; }
    double y_of(double w) const { return top + height - (w - y_low) / (y_high - y_low) * height; }
};

// Draws the phases, shaded and named, then the axes with their ticks and
// labels, y_label up the side.
void draw_frame(FILE* out, const plot_frame& f, const drawn_phase* phases, int phase_count, const char* y_label)
{
    double right = f.left + f.columns;
    for (int i = 0; i < phase_count; ++i) {
        double a = std::clamp(f.x_of(static_cast<double>(phases[i].from_ns - f.start) / 1e9), f.left, right);
        double b = std::clamp(f.x_of(static_cast<double>(phases[i].to_ns - f.start) / 1e9), f.left, right);
        static const char* const shades[] = {"#6a6af0", "#50b070", "#e0a040", "#b060c0"};
        const char* shade = shades[phases[i].number % 4];
        std::fprintf(out, "<rect class=\"phase\" x=\"%.1f\" y=\"%g\" width=\"%.1f\" height=\"%g\" fill=\"%s\" "
                          "fill-opacity=\"0.14\"/>\n<path d=\"M%.1f,%g v%g\" stroke=\"%s\" stroke-opacity=\"0.6\"/>\n"
                          "<text x=\"%.1f\" y=\"%g\" fill=\"#333366\">",
                     a, f.top, std::max(b - a, 0.5), f.height, shade, a, f.top, f.height, shade, a + 3,
                     f.top + 14 + 14 * (i % 3));
        put_xml_text(out, phases[i].name);
        std::fputs("</text>\n", out);
    }
    std::fprintf(out, "<g stroke=\"#444444\" fill=\"none\"><path d=\"M%g,%g V%g H%g\"/></g>\n", f.left, f.top,
                 f.top + f.height, right);
    double x_step = tick_step(f.seconds);
    for (double s = 0; s <= f.seconds + x_step * 1e-9; s += x_step)
        std::fprintf(out, "<path d=\"M%.1f,%g v5\" stroke=\"#444444\"/><text x=\"%.1f\" y=\"%g\" "
                          "text-anchor=\"middle\">%g</text>\n",
                     f.x_of(s), f.top + f.height, f.x_of(s), f.top + f.height + 18, s);
    for (double w = f.y_low; w <= f.y_high + f.y_step * 1e-9; w += f.y_step)
        std::fprintf(out, "<path d=\"M%g,%.1f h-5\" stroke=\"#444444\"/><text x=\"%g\" y=\"%.1f\" "
                          "text-anchor=\"end\">%g</text>\n",
                     f.left, f.y_of(w), f.left - 8, f.y_of(w) + 4, w);
    std::fprintf(out, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">seconds from the run's start</text>\n"
                      "<text x=\"16\" y=\"%g\" text-anchor=\"middle\" transform=\"rotate(-90 16 %g)\">",
                 f.left + f.columns / 2.0, f.top + f.height + 40, f.top + f.height / 2, f.top + f.height / 2);
    put_xml_text(out, y_label);
    std::fputs("</text>\n", out);
}

// Where pixel column c of columns across [start, end) begins.
int64_t column_start(int64_t start, int64_t end, int columns, int c)
{
    return start + static_cast<int64_t>(static_cast<double>(end - start) * c / columns);
}

// Draws a curve across the frame's columns, each column's lowest and
// highest power from column(from, to, &low, &high, &breaks), false where
// it has none; the curve starts afresh where breaks is set, and after a
// column with none unless across_empty (a meter's curve is joined
// between its readings).
template <class Column>
void draw_columns(FILE* out, const plot_frame& f, int64_t end, const char* colour, double stroke, bool across_empty,
                  Column column)
{
    std::fprintf(out, "<path class=\"meter\" fill=\"none\" stroke=\"%s\" stroke-width=\"%g\" "
                      "stroke-linejoin=\"round\" d=\"", colour, stroke);
    bool drawing = false;
    for (int c = 0; c < f.columns; ++c) {
        float low, high;
        bool breaks = false;
        bool any = column(column_start(f.start, end, f.columns, c), column_start(f.start, end, f.columns, c + 1) + 1,
                          &low, &high, &breaks);
        drawing = drawing && !breaks && (any || across_empty);
        if (!any)
            continue;
        std::fprintf(out, "%s%.1f,%.1f", drawing ? "L" : "M", f.left + c + 0.5, f.y_of(high));
        if (low < high)
            std::fprintf(out, "L%.1f,%.1f", f.left + c + 0.5, f.y_of(low));
        drawing = true;
    }
    std::fputs("\"/>\n", out);
}
} // namespace

int write_plot(FILE* out, const drawn_meter* meters, int count, const drawn_phase* phases, int phase_count,
               const char* title)
{
    constexpr double width = 960, left = 72, right = 20, top = 40, bottom = 56;
    const double height = 540 + 18 * ((count + 1) / 2);
    constexpr int columns = static_cast<int>(width - left - right);
    const double plot_h = 540 - top - bottom;
    int64_t start = 0, end = 0;
    double lowest = 0, highest = 1;
    bool any = false;
    for (int k = 0; k < count; ++k) {
        const meter_view& m = *meters[k].view;
        if (!m.any)
            continue;
        start = !any || m.first_ns < start ? m.first_ns : start;
        end = !any || m.last_ns > end ? m.last_ns : end;
        any = true;
        for (int i = 0; i < view_spans; ++i)
            if (m.low[i] <= m.high[i]) {
                lowest = std::min(lowest, static_cast<double>(m.low[i]));
                highest = std::max(highest, static_cast<double>(m.high[i]));
            }
    }
    if (end <= start)
        end = start + 1000000000;
    double seconds = static_cast<double>(end - start) / 1e9;
    double y_step = tick_step((highest - lowest) * 1.05);
    double y_low = std::floor(lowest / y_step) * y_step, y_high = std::ceil(highest * 1.05 / y_step) * y_step;
    start_svg(out, width, height, title);
    plot_frame f = {left, top, plot_h, columns, start, seconds, y_low, y_high, y_step};
    draw_frame(out, f, phases, phase_count, "power (W)");
    // Each meter: the lowest and highest power in each pixel's time, so a
    // spike shows however long the run; its gaps marked under the axis.
    for (int k = 0; k < count; ++k) {
        const meter_view& m = *meters[k].view;
        const char* colour = meters[k].colour;
        // Pixels between readings are joined; a reading of no finite
        // number, or a gap, breaks the line.
        int64_t drawn_to = 0; // the end of the last pixel's time that held readings
        draw_columns(out, f, end, colour, 2, true, [&](int64_t from, int64_t to, float* low, float* high, bool* breaks) {
            bool some = m.any && curve_between(m, from, to, low, high, breaks);
            *breaks = *breaks || (some && longer_than_gap(std::max<int64_t>(m.intervals.median_ns, 1), from - drawn_to));
            drawn_to = some ? to - 1 : drawn_to;
            return some;
        });
        for (uint64_t g = 0; g < m.gaps && g < view_gaps_kept; ++g) {
            double a = f.x_of(static_cast<double>(m.gap_from[g] - start) / 1e9);
            double b = f.x_of(static_cast<double>(m.gap_to[g] - start) / 1e9);
            std::fprintf(out, "<rect class=\"gap\" x=\"%.1f\" y=\"%g\" width=\"%.1f\" height=\"4\" fill=\"%s\"><title>",
                         a, top + plot_h - 4 - 5 * k, std::max(b - a, 1.0), colour);
            put_xml_text(out, meters[k].name);
            std::fputs(": no readings</title></rect>\n", out);
        }
    }
    // The legend, under the axis: each meter's mean and peak.
    for (int k = 0; k < count; ++k) {
        const meter_view& m = *meters[k].view;
        double x = left + (k % 2) * 430, y = top + plot_h + 64 + 18 * (k / 2);
        std::fprintf(out, "<path d=\"M%g,%g h22\" stroke=\"%s\" stroke-width=\"3\"/><text x=\"%g\" y=\"%g\">", x,
                     y - 4, meters[k].colour, x + 28, y);
        put_xml_text(out, meters[k].name);
        if (m.any && m.not_finite > 0)
            std::fprintf(out, ": mean %.1f W, peak %.1f W, %llu readings no finite number (not drawn)</text>\n",
                         mean_power(m), m.peak, static_cast<unsigned long long>(m.not_finite));
        else if (m.any)
            std::fprintf(out, ": mean %.1f W, peak %.1f W</text>\n", mean_power(m), m.peak);
        else
            std::fputs(": no readings</text>\n", out);
    }
    std::fputs("</svg>\n", out);
    return std::ferror(out) ? EIO : 0;
}

void take_node_curve(node_curve& c, int kind, const meter_view* const* meters, int count)
{
    int64_t from = 0, to = 0;
    c.any[kind] = false;
    c.mean[kind] = c.peak[kind] = 0;
    c.period_ns[kind] = 0;
    for (int k = 0; k < count; ++k) {
        const meter_view& m = *meters[k];
        if (!m.any)
            continue;
        from = !c.any[kind] || m.first_ns < from ? m.first_ns : from;
        to = !c.any[kind] || m.last_ns > to ? m.last_ns : to;
        c.period_ns[kind] = std::max(c.period_ns[kind], m.intervals.median_ns);
        c.mean[kind] += mean_power(m);
        c.any[kind] = true;
    }
    c.from_ns[kind] = from;
    c.to_ns[kind] = to;
    c.width_ns[kind] = (to - from) / view_spans + 1;
    for (int j = 0; j < view_spans; ++j) {
        int64_t a = from + j * c.width_ns[kind];
        float low = 0, high = 0;
        bool some = false;
        for (int k = 0; k < count; ++k) {
            float l, h;
            bool broken;
            if (meters[k]->any && curve_between(*meters[k], a, a + c.width_ns[kind], &l, &h, &broken)) {
                low += l;
                high += h;
                some = true;
            }
        }
        c.low[kind][j] = some ? low : static_cast<float>(empty_low);
        c.high[kind][j] = some ? high : static_cast<float>(-empty_low);
        c.peak[kind] = some ? std::max(c.peak[kind], static_cast<double>(high)) : c.peak[kind];
    }
}

namespace {

// The lowest and highest power of kind of a node's curve in [from, to).
bool kind_between(const node_curve& c, int kind, int64_t from, int64_t to, float* low, float* high)
{
    *low = static_cast<float>(empty_low);
    *high = static_cast<float>(-empty_low);
    if (!c.any[kind] || to <= c.from_ns[kind])
        return false;
    int64_t w = c.width_ns[kind];
    int64_t first = std::max<int64_t>((from - c.from_ns[kind]) / w - (from < c.from_ns[kind] ? 1 : 0), 0);
    int64_t last = std::min<int64_t>((to - 1 - c.from_ns[kind]) / w, view_spans - 1);
    for (int64_t j = first; j <= last; ++j) {
        *low = std::min(*low, c.low[kind][j]);
        *high = std::max(*high, c.high[kind][j]);
    }
    return *low <= *high;
}

// What a node's curve had last, as the columns are drawn in order.
struct held_power {
    float level = 0;
    int64_t seen_ns = 0;
    bool any = false;
};

// A node's power of kind in the column [from, to): its lowest and highest
// there; or, between its readings (up to three periods from the last, and
// within its time), the level it had last, so that the nodes' powers add
// at every column's time whenever their readings come.
bool node_column(const node_curve& c, int kind, int64_t from, int64_t to, held_power& held, float* low,
                 float* high)
{
    if (kind_between(c, kind, from, to, low, high)) {
        held = {(*low + *high) / 2, to, true};
        return true;
    }
    if (!held.any || from > c.to_ns[kind] || longer_than_gap(std::max<int64_t>(c.period_ns[kind], 1), from - held.seen_ns))
        return false;
    *low = *high = held.level;
    return true;
}

} // namespace

int write_nodes_plot(FILE* out, const node_curve* nodes, const char* const* names, int count,
                     const drawn_phase* phases, int phase_count, const char* title)
{
    constexpr double width = 960, left = 72, right = 20, top = 40, panel = 280, plot_h = 210;
    constexpr int columns = static_cast<int>(width - left - right);
    if (count > max_view_nodes)
        return EINVAL;
    static const char* const kinds[node_kinds] = {"node", "CPU", "GPU"};
    static const char* const colours[8] = {"#d62728", "#1f77b4", "#2ca02c", "#9467bd",
                                           "#ff7f0e", "#8c564b", "#e377c2", "#17becf"};
    int64_t start = 0, end = 0;
    bool any = false, drawn[node_kinds] = {};
    double sum_peak[node_kinds] = {};
    int panels = 0;
    for (int n = 0; n < count; ++n)
        for (int k = 0; k < node_kinds; ++k) {
            if (!nodes[n].any[k])
                continue;
            start = !any || nodes[n].from_ns[k] < start ? nodes[n].from_ns[k] : start;
            end = !any || nodes[n].to_ns[k] > end ? nodes[n].to_ns[k] : end;
            panels += drawn[k] ? 0 : 1;
            any = drawn[k] = true;
        }
    if (end <= start)
        end = start + 1000000000;
    const double legend_top = top + panel * panels + 24;
    start_svg(out, width, legend_top + 18 * (count + 1) + 12, title);
    int p = 0;
    for (int k = 0; k < node_kinds; ++k) {
        if (!drawn[k])
            continue;
        // The nodes' power added in each column's time, and their band
        // (lowest to highest): each over the nodes' curves as held.
        held_power held[max_view_nodes];
        auto across = [&](int64_t from, int64_t to, float* low, float* high, bool band) {
            float l, h;
            bool some = false;
            *low = band ? static_cast<float>(empty_low) : 0;
            *high = band ? static_cast<float>(-empty_low) : 0;
            for (int n = 0; n < count; ++n) {
                if (!node_column(nodes[n], k, from, to, held[n], &l, &h))
                    continue;
                *low = band ? std::min(*low, l) : *low + l;
                *high = band ? std::max(*high, h) : *high + h;
                some = true;
            }
            return some;
        };
        auto sum = [&](int64_t from, int64_t to, float* low, float* high) {
            return across(from, to, low, high, false);
        };
        auto restart = [&] {
            for (auto& h : held)
                h = held_power{};
        };
        double highest = 1;
        for (int n = 0; n < count; ++n)
            highest = std::max(highest, nodes[n].peak[k]);
        // The sum's peak, in the columns as they are drawn.
        restart();
        for (int c = 0; c < columns; ++c) {
            float l, h;
            if (sum(column_start(start, end, columns, c), column_start(start, end, columns, c + 1) + 1, &l, &h))
                sum_peak[k] = std::max(sum_peak[k], static_cast<double>(h));
        }
        highest = std::max(highest, sum_peak[k]);
        double y_step = tick_step(highest * 1.05);
        plot_frame f = {left, top + panel * p++, plot_h, columns, start, static_cast<double>(end - start) / 1e9,
                        0, std::ceil(highest * 1.05 / y_step) * y_step, y_step};
        char label[32];
        std::snprintf(label, sizeof label, "%s power (W)", kinds[k]);
        draw_frame(out, f, phases, phase_count, label);
        for (int n = 0; count <= 8 && n < count; ++n) {
            held_power one;
            draw_columns(out, f, end, colours[n], 1.2, false, [&](int64_t from, int64_t to, float* low, float* high, bool*) {
                return node_column(nodes[n], k, from, to, one, low, high);
            });
        }
        restart();
        if (count > 8)
            draw_columns(out, f, end, "#b0b0b0", 1, false, [&](int64_t from, int64_t to, float* low, float* high, bool*) {
                return across(from, to, low, high, true);
            });
        restart();
        draw_columns(out, f, end, "#000000", 2, false, [&](int64_t from, int64_t to, float* low, float* high, bool*) {
            return sum(from, to, low, high);
        });
    }
    // The legend: each node's mean and peak power of each kind, then the
    // sum's.
    for (int n = 0; n <= count; ++n) {
        double y = legend_top + 18 * n;
        const char* colour = n == count ? "#000000" : count <= 8 ? colours[n] : "#b0b0b0";
        std::fprintf(out, "<path d=\"M%g,%g h22\" stroke=\"%s\" stroke-width=\"3\"/><text x=\"%g\" y=\"%g\">",
                     left, y - 4, colour, left + 28, y);
        put_xml_text(out, n == count ? "the nodes' sum" : names[n]);
        const char* separator = ":";
        for (int k = 0; k < node_kinds; ++k) {
            if (!drawn[k])
                continue;
            double mean = 0;
            for (int i = n == count ? 0 : n; i < (n == count ? count : n + 1); ++i)
                mean += nodes[i].any[k] ? nodes[i].mean[k] : 0;
            double peak = n == count ? sum_peak[k] : nodes[n].peak[k];
            std::fprintf(out, "%s %s mean %.1f W, peak %.1f W", separator, kinds[k], mean, peak);
            separator = ";";
        }
        std::fputs("</text>\n", out);
    }
    std::fputs("</svg>\n", out);
    return std::ferror(out) ? EIO : 0;
}

bool put_kept_reading(FILE* out, int32_t meter, int64_t ns, double watts)
{
    return std::fwrite(&meter, sizeof meter, 1, out) == 1 && std::fwrite(&ns, sizeof ns, 1, out) == 1 &&
           std::fwrite(&watts, sizeof watts, 1, out) == 1;
}

bool take_kept_reading(FILE* in, int32_t* meter, int64_t* ns, double* watts)
{
    return std::fread(meter, sizeof *meter, 1, in) == 1 && std::fread(ns, sizeof *ns, 1, in) == 1 &&
           std::fread(watts, sizeof *watts, 1, in) == 1;
}

int rewind_kept_readings(case_view& view)
{
    if (view.series == nullptr)
        return EINVAL;
    // A reading that could not be kept (its temporary space full) fails
    // the series; rewind would forget that.
    if (view.series_error == 0 && std::fflush(view.series) != 0)
        view.series_error = errno;
    if (view.series_error == 0 && std::ferror(view.series))
        view.series_error = EIO;
    if (view.series_error == 0)
        std::rewind(view.series);
    return view.series_error;
}

int write_series(FILE* out, case_view& view, const drawn_meter* meters, int count)
{
    int64_t start = 0;
    bool any = false;
    for (int k = 0; k < count; ++k)
        if (meters[k].view->any && (!any || meters[k].view->first_ns < start)) {
            start = meters[k].view->first_ns;
            any = true;
        }
    std::fputs("seconds,meter,watts\n", out);
    int err = rewind_kept_readings(view);
    if (err != 0)
        return err;
    int32_t meter;
    int64_t ns;
    double watts;
    while (take_kept_reading(view.series, &meter, &ns, &watts)) {
        for (int k = 0; k < count; ++k)
            if (meters[k].view == &view.meters[meter])
                std::fprintf(out, "%.9f,%s,%.17g\n", static_cast<double>(ns - start) / 1e9, meters[k].name, watts);
    }
    if (std::ferror(view.series))
        return EIO;
    return std::ferror(out) ? EIO : 0;
}
