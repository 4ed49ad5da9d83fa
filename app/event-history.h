#ifndef EVENT_HISTORY_H
#define EVENT_HISTORY_H

#include <QString>
#include <QVector>

// One change of an input, an output, the link or the mode.
struct history_event_t
{
    qint64 time_ms = 0; // wall clock, milliseconds since the epoch: for people to read
    QString what;       // "gpi 3", "gpo 8", "link", "mode"
    int old_value = 0;
    int new_value = 0;
    QString source;     // "controller", "peer", "panel 10012", "web", "snmp", "failsafe"
};

// The last changes, in memory only (never on flash): a ring that keeps the newest
// `capacity` events and forgets the oldest.
class EventHistory
{
public:
    explicit EventHistory(int capacity = 1000);

    void record(const QString &what, int old_value, int new_value, const QString &source);
    // Oldest first.
    QVector<history_event_t> events() const;
    int size() const { return count; }
    void clear();

private:
    QVector<history_event_t> ring;
    int next = 0; // where the next event goes
    int count = 0;
};

#endif
