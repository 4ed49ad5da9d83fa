#include "monotonic.h"

#include <ctime>

qint64 monotonic_seconds()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec);
}
