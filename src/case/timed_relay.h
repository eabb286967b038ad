// The readings in time handed from a thread that reads the logs to the
// thread that places them: the reader's calls of its sink are made again,
// in the same order, on the thread that started it, so that reading and
// placing overlap on two CPUs and every sum is the one a single thread
// makes.
#ifndef ENERGY_TOTALS_TIMED_RELAY_H
#define ENERGY_TOTALS_TIMED_RELAY_H

#include "read/timed_readings.h"

// A reader of logs in time: read(context, sink) passes each reading to sink.
struct timed_reader {
    int (*read)(void* context, const timed_sink& sink) = nullptr;
    void* context = nullptr;
};
constexpr int max_timed_readers = 2;

// Runs each of the count readers (up to max_timed_readers) on a thread of
// its own, each call it makes of its relayed sink made of sink here, in its
// order, as it comes: one reader's calls in the order it made them, two
// readers' interleaved as they come (for readings whose places do not
// depend on the other's). Returns the first reader's status that is not
// 0, once all are done. Where threaded is false, the run may use one CPU
// alone, or no thread or memory is to be had for them, the readers run
// here on sink itself, in turn.
int relay_timed_readings(const timed_reader* readers, int count, const timed_sink& sink, bool threaded);

#endif
