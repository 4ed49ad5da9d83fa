#ifndef MONOTONIC_H
#define MONOTONIC_H

#include <QtGlobal>

// Whole seconds of a clock that never jumps (CLOCK_MONOTONIC). Time-outs and activity
// flags use it: a board without a real-time clock starts near 1970 and its wall clock
// jumps when the time is set.
qint64 monotonic_seconds();

#endif
