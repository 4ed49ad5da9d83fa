#include "event-history.h"

#include <QDateTime>

EventHistory::EventHistory(int capacity)
    : ring(qMax(1, capacity))
{
}

void EventHistory::record(const QString &what, int old_value, int new_value, const QString &source)
{
    history_event_t &e = ring[next];
    e.time_ms = QDateTime::currentMSecsSinceEpoch();
    e.what = what;
    e.old_value = old_value;
    e.new_value = new_value;
    e.source = source;
    next = (next + 1) % ring.size();
    count = qMin(count + 1, ring.size());
}

QVector<history_event_t> EventHistory::events() const
{
    QVector<history_event_t> out;
    out.reserve(count);
    const int first = (next - count + ring.size()) % ring.size();
    for (int i = 0; i < count; ++i)
        out.append(ring[(first + i) % ring.size()]);
    return out;
}

void EventHistory::clear()
{
    next = 0;
    count = 0;
}
