// The phases of a run: the marks that name them (--phases, --window), the
// energy of each meter in each, split from its timed readings at the
// phases' edges, and each phase's figures, gross and net of idle power.
#ifndef ENERGY_TOTALS_PHASES_H
#define ENERGY_TOTALS_PHASES_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/energy_summary.h"
#include "read/timed_readings.h"

constexpr int max_phases = 64;
constexpr size_t max_phase_name = 64;

// One stretch of a phase, [from, to], in nanoseconds since the epoch.
struct phase_span {
    int64_t from_ns;
    int64_t to_ns;
    int phase;
};

// The phases, as the marks and the window give them. A phase is a name
// and the spans between its begin and end marks (a name may begin and end
// several times); phases may nest and overlap.
struct phase_plan {
    int count = 0;
    char names[max_phases][max_phase_name] = {};
    unsigned long lines[max_phases] = {}; // the line of each phase's first mark
    phase_span* spans = nullptr;          // in order of their begin marks
    int span_count = 0;
    int span_room = 0;
    const char* file = nullptr;           // --phases, for messages
    // The first mark, where there is one: where time-of-day stamps find
    // their date, and what the sums measure time from.
    bool dated = false;
    int64_t first_mark_ns = 0;
    // --window with an offset from the start or end of the logs' common
    // coverage, settled once the logs are read.
    bool window = false;
    bool from_offset = false, to_offset = false;
    double from_seconds = 0, to_seconds = 0;
    int64_t window_from_ns = 0, window_to_ns = 0;
};

// Reads the marks of --phases into plan: "STAMP NAME begin" and "STAMP
// NAME end", one a line (STAMP a date and time, with or without an offset,
// or seconds since the epoch; blank lines and lines that start with # are
// passed over), or, in a file that holds ":::MLLOG" records, their
// power_begin and power_end as the phase "power". Returns 0; -1 having
// written what is wrong to why (the file's line quoted); or the errno
// where the file can't be read.
int read_phase_marks(const char* file, phase_plan& plan, char* why, size_t why_size);

// The number of the phase named name (n bytes), or -1 where the plan has
// none of that name.
int find_phase(const phase_plan& plan, const char* name, size_t n);

// Adds --window=FROM,TO to plan as the phase "window": each end a stamp,
// or +S / -S seconds from the start / end of the logs' common coverage.
// Returns 0, or -1 with what is wrong in why.
int add_window(const char* text, phase_plan& plan, char* why, size_t why_size);

// Places a window given by offsets (plan.from_offset, plan.to_offset) in
// the logs' common coverage [from, to]. Returns 0, or -1 with why.
int settle_window(phase_plan& plan, int64_t from_ns, int64_t to_ns, char* why, size_t why_size);

// Releases the plan's spans.
void free_phase_plan(phase_plan& plan);

// Each meter's energy in each phase, and in the time no phase marks
// (unmarked, index plan.count), split from its timed readings as they come
// (a sink's context). A trapezoid is cut at an edge by the power
// interpolated there; joules over an interval are shared in proportion to
// time.
struct meter_time {
    bool any = false;
    int64_t day_ns = 0;       // a time-of-day meter's midnight, on the node's clock
    bool day_set = false;
    uint64_t untimed = 0;     // readings without a stamp
    bool have_last = false;
    int64_t last_ns = 0;      // the last reading's instant
    double last_watts = 0;
    bool pending = false;     // a first interval, waiting for the meter's period
    int64_t pending_ns = 0;
    double pending_joules = 0;
    double pending_extra = 0; // joules of lines without stamps before it
    int64_t first_ns = 0, covered_to_ns = 0; // the meter's coverage
};

struct phase_sums {
    const phase_plan* plan = nullptr;
    int64_t origin_ns = 0;    // what times are measured from, in seconds as doubles
    int64_t anchor_ns = 0;    // a moment whose date time-of-day stamps take
    bool anchored = false;
    double energy[max_phases + 1][timed_meters] = {};
    meter_time meters[timed_meters];
    // The phases' spans and the gaps between them (unmarked), in order of
    // their starts, in seconds from origin.
    struct span { double from, to; int target; };
    span* spans = nullptr;
    int span_count = 0;
    int cursor[timed_meters] = {};
    bool overlap = false;     // phases overlap: there is no unmarked
    bool saw_instant = false; // a reading with a date (or an epoch stamp) came
    int64_t first_instant_ns = 0;
    bool saw_clock = false;   // a reading with a time of day came
    const reading_observer* observer = nullptr; // where the placed readings go too
    // Whether each reading's energy is shared among the spans: not where
    // only the meters' times and the observer's readings are wanted.
    bool split_energy = true;
};

// Sets sums up for plan; origin and anchor from its first mark, or, where
// it has none, from anchor_ns (a reading of the run's). Returns false where
// there is no memory.
bool start_phase_sums(phase_sums& sums, const phase_plan& plan, bool anchored, int64_t anchor_ns);
void free_phase_sums(phase_sums& sums);

// The sink that feeds sums.
timed_sink phase_sink(phase_sums& sums);

// Ends the meters' pending intervals, once every log is read.
void finish_phase_sums(phase_sums& sums);

// A meter's coverage, [first, last], as instants; false where it had no
// reading with a stamp.
bool meter_coverage(const phase_sums& sums, int meter, int64_t* first_ns, int64_t* last_ns);

// Whether meter had readings but none with a stamp to place them by.
bool meter_untimed(const phase_sums& sums, int meter);

// The seconds of phase (plan.count: unmarked) that lie within [from, to].
double phase_seconds_within(const phase_sums& sums, int phase, int64_t from_ns, int64_t to_ns);

// A phase's figures: the run's meters mapped to the summary's figures,
// GPU k from source gpu_source[k - 1].
void phase_figures(const phase_sums& sums, int phase, const int* gpu_source, int gpus, int cpus,
                   energy_summary& out);

#endif
