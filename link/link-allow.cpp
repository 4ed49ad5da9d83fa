#include "link-allow.h"

#include <QDebug>

namespace {
constexpr qint64 kLogPeriod = 60;
// Addresses remembered for the once-a-minute log; past this the memory starts over.
constexpr int kMaxRemembered = 1024;
} // namespace

QHostAddress LinkAllowList::ipv4_of(const QHostAddress &a)
{
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return ok ? QHostAddress(v4) : a;
}

void LinkAllowList::set(const QList<QString> &entries)
{
    subnets.clear();
    restricted = false;
    for (const QString &entry : entries) {
        const QString text = entry.trimmed();
        if (text.isEmpty())
            continue;
        // A list whose entries are all mistyped lets nobody in rather than everybody.
        restricted = true;
        QPair<QHostAddress, int> net = QHostAddress::parseSubnet(
            text.contains(QLatin1Char('/')) ? text : text + QStringLiteral("/32"));
        if (net.first.protocol() != QAbstractSocket::IPv4Protocol) {
            qDebug() << "link_allow entry ignored:" << text;
            continue;
        }
        subnets.append(net);
    }
}

bool LinkAllowList::permits(const QHostAddress &peer) const
{
    if (!restricted)
        return true;
    const QHostAddress v4 = ipv4_of(peer);
    for (const auto &net : subnets) {
        if (v4.isInSubnet(net))
            return true;
    }
    return false;
}

bool LinkAllowList::should_log(const QHostAddress &peer, qint64 now_seconds)
{
    const QString key = ipv4_of(peer).toString();
    auto it = last_logged.find(key);
    if (it != last_logged.end() && now_seconds - it.value() < kLogPeriod)
        return false;
    if (last_logged.size() >= kMaxRemembered)
        last_logged.clear();
    last_logged.insert(key, now_seconds);
    return true;
}
