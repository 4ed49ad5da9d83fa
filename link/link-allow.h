#ifndef LINK_ALLOW_H
#define LINK_ALLOW_H

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

// Which peers may open a link connection: IPv4 addresses or CIDR ranges. An empty list
// lets anyone in. Entries that do not parse are left out (and logged once).
class LinkAllowList
{
public:
    void set(const QList<QString> &entries);
    // Also true, while nothing parsed, when every entry is mistyped: that lets nobody in.
    bool empty() const { return !restricted; }
    // The IPv4 form of an IPv4-mapped IPv6 address, other addresses unchanged.
    static QHostAddress ipv4_of(const QHostAddress &a);
    // IPv4-mapped IPv6 peers (a dual-stack listener) count as their IPv4 address.
    bool permits(const QHostAddress &peer) const;
    // True at most once a minute per address, so that a peer that keeps knocking cannot
    // grow the log without bound. `now_seconds` is a monotonic clock.
    bool should_log(const QHostAddress &peer, qint64 now_seconds);

private:
    QList<QPair<QHostAddress, int>> subnets;
    bool restricted = false;
    QHash<QString, qint64> last_logged;
};

#endif
