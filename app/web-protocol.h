#ifndef WEB_PROTOCOL_H
#define WEB_PROTOCOL_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

#include "event-history.h"
#include "settings.h"

// The browser interface's messages on port 8080: one JSON object per WebSocket text
// message, {"type": <string>, "data": <object>}. Plain functions, apart from the sockets,
// so that what a client may send can be checked without a network.

// What the unit reports in a "system" message: its settings (the optional ones only where
// they differ from their defaults) and the two version texts.
struct WebSystemInfo : HubSettings
{
    QString version;
    QString version2;
};

// Outgoing messages, encoded as the indented JSON text the clients receive.
// `failsafe` is added as a key only when the safe-output feature is on.
QByteArray web_gpio_message(const QList<int> &gpi, const QList<int> &gpo, int link, int rs232_link,
                            std::optional<int> failsafe = std::nullopt);
QByteArray web_system_message(const WebSystemInfo &info);
QByteArray web_keepalive_message();
// Reply to "get_history": {"events": [{"time", "what", "old", "new", "source"}, ...]},
// oldest first.
QByteArray web_history_message(const QVector<history_event_t> &events);

enum class WebRequestType { Ignored, SetSystem, SetGpo, Keepalive, GetHistory };

struct WebRequest
{
    WebRequestType type = WebRequestType::Ignored;
    QJsonObject data;
};

// Invalid JSON, an object with a key given twice (at any depth), a top level that is not an
// object, a "type" that is not a string or a "data" that is not an object, and unknown types
// all give Ignored.
WebRequest web_parse_request(const QString &text);

// "set_system": each field present with the right JSON type, else absent. A name array
// that is present always yields eight names (missing or non-string elements are empty).
struct WebSetSystem
{
    std::optional<QString> dst_ip;
    std::optional<int> system_mode;
    std::optional<int> baudrate;
    std::optional<int> parity;
    std::optional<QList<QString>> gpi_names;
    std::optional<QList<QString>> gpo_names;
    // The optional features' keys.
    std::optional<int> failsafe_timeout;
    std::optional<QList<int>> failsafe_gpo; // eight states; missing or non-number entries 0
    std::optional<QList<QString>> link_allow; // the string elements
    std::optional<QString> web_key;
    std::optional<int> event_history;
    std::optional<int> rs232_immediate;
};
WebSetSystem web_parse_set_system(const QJsonObject &data);

// "set_gpo": a field that is not a number counts as 0.
struct WebSetGpo
{
    int index = 0;
    int value = 0;
};
WebSetGpo web_parse_set_gpo(const QJsonObject &data);

// A number where an integer is expected: 0 unless it is a whole number within 32 bits.
int web_to_int(const QJsonValue &value);

#endif
