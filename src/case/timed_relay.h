// The readings in time handed from a thread that reads the logs to the
// thread that places them: the reader's calls of its sink are made again,
// in the same order, on the thread that started it, so that reading and
// placing overlap on two CPUs and every sum is the one a single thread
// makes.
#ifndef ENERGY_TOTALS_TIMED_RELAY_H
#define ENERGY_TOTALS_TIMED_RELAY_H

#include "read/timed_readings.h"

// Runs read(context, relayed) on a thread of its own, each call it makes
// of relayed made of sink here, in order, as it comes; returns read's
// status once both are done. Where threaded is false, the run may use one
// CPU alone, or no thread or memory is to be had for it, read runs here on
// sink itself.
int relay_timed_readings(int (*read)(void* context, const timed_sink& relayed), void* context,
                         const timed_sink& sink, bool threaded);

#endif
