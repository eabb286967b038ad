// Time stamps at the start of a GPU log's lines, as meters write them.
#ifndef ENERGY_TOTALS_TIME_STAMPS_H
#define ENERGY_TOTALS_TIME_STAMPS_H

#include <cstdint>

// Parses the time stamp at p, which ends before end: nvidia-smi's
// "YYYY/MM/DD HH:MM:SS.fff", ISO 8601's "YYYY-MM-DDTHH:MM:SS.fff" (a blank
// for the T too) with an optional Z or +HH:MM / -HH:MM, or seconds since
// the epoch ("1714557600.123"), from 1970 to 2255. The fraction is optional and of any length,
// kept to the nanosecond. Sets *ns to the stamp in nanoseconds since the
// epoch (a stamp without an offset is taken as UTC: only differences
// count) and *after past it. Returns false, touching neither, where no
// stamp stands at p. Reads nothing at or past end; does not allocate.
bool parse_time_stamp(const char* p, const char* end, int64_t* ns, const char** after);

#endif
