#include "web-protocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QVector>

namespace {
const int kStates = 8;

QJsonArray int_array(const QList<int> &values)
{
    QJsonArray a;
    for (int v : values)
        a.append(v);
    return a;
}

QJsonArray text_array(const QList<QString> &values)
{
    QJsonArray a;
    for (const QString &v : values)
        a.append(v);
    return a;
}

QByteArray message(const char *type, const QJsonObject &data)
{
    QJsonObject root;
    root.insert(QStringLiteral("type"), QLatin1String(type));
    root.insert(QStringLiteral("data"), data);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

std::optional<int> optional_int(const QJsonObject &data, const char *key)
{
    const QJsonValue v = data.value(QLatin1String(key));
    if (!v.isDouble())
        return std::nullopt;
    return web_to_int(v);
}

std::optional<QList<QString>> optional_names(const QJsonObject &data, const char *key)
{
    const QJsonValue v = data.value(QLatin1String(key));
    if (!v.isArray())
        return std::nullopt;
    const QJsonArray a = v.toArray();
    QList<QString> names;
    for (int n = 0; n < kStates; ++n)
        names.append(a.at(n).toString()); // missing or not a string: empty
    return names;
}
void insert_options(QJsonObject &data, const HubOptions &o)
{
    const HubOptions d;
    if (o.failsafe_timeout != d.failsafe_timeout)
        data.insert(QStringLiteral("failsafe_timeout"), o.failsafe_timeout);
    if (o.failsafe_gpo != d.failsafe_gpo)
        data.insert(QStringLiteral("failsafe_gpo"), int_array(o.failsafe_gpo));
    if (o.link_allow != d.link_allow)
        data.insert(QStringLiteral("link_allow"), text_array(o.link_allow));
    if (o.web_key != d.web_key)
        data.insert(QStringLiteral("web_key"), o.web_key);
    if (o.event_history != d.event_history)
        data.insert(QStringLiteral("event_history"), o.event_history);
    if (o.rs232_immediate != d.rs232_immediate)
        data.insert(QStringLiteral("rs232_immediate"), o.rs232_immediate);
}

std::optional<QList<int>> optional_states(const QJsonObject &data, const char *key)
{
    const QJsonValue v = data.value(QLatin1String(key));
    if (!v.isArray())
        return std::nullopt;
    const QJsonArray a = v.toArray();
    QList<int> states;
    for (int n = 0; n < kStates; ++n)
        states.append(web_to_int(a.at(n)));
    return states;
}

std::optional<QList<QString>> optional_strings(const QJsonObject &data, const char *key)
{
    const QJsonValue v = data.value(QLatin1String(key));
    if (!v.isArray())
        return std::nullopt;
    QList<QString> out;
    for (const QJsonValue &e : v.toArray()) {
        if (e.isString())
            out.append(e.toString());
    }
    return out;
}

// A key as Qt would read it: escapes are resolved, so two spellings of one key compare equal.
// `quoted` runs from the opening to the closing quote.
QByteArray key_text(const QByteArray &quoted)
{
    if (!quoted.contains('\\'))
        return quoted.mid(1, quoted.size() - 2);
    return QJsonDocument::fromJson("[" + quoted + "]").array().at(0).toString().toUtf8();
}

// Qt's JSON reader loses track of the earlier value of a key that appears twice in one object
// when that value is an array or object holding anything: its memory is never released, so a
// client repeating such a message would grow the program without bound. Text with a repeated
// key is therefore refused before Qt reads it. Text that is not JSON passes here and is
// refused by Qt.
bool has_repeated_key(const QByteArray &text)
{
    struct Level
    {
        bool object;
        bool expect_key;
        QSet<QByteArray> keys;
    };
    QVector<Level> levels;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '"') {
            int end = i + 1;
            while (end < text.size() && text.at(end) != '"')
                end += text.at(end) == '\\' ? 2 : 1;
            if (end >= text.size())
                return false;
            if (!levels.isEmpty() && levels.last().object && levels.last().expect_key) {
                Level &level = levels.last();
                const QByteArray key = key_text(text.mid(i, end + 1 - i));
                if (level.keys.contains(key))
                    return true;
                level.keys.insert(key);
                level.expect_key = false;
            }
            i = end;
        } else if (c == '{' || c == '[') {
            levels.append({ c == '{', c == '{', {} });
        } else if (c == '}' || c == ']') {
            if (!levels.isEmpty())
                levels.removeLast();
        } else if (c == ',' && !levels.isEmpty() && levels.last().object) {
            levels.last().expect_key = true;
        }
    }
    return false;
}
} // namespace

int web_to_int(const QJsonValue &value)
{
    return value.toInt(0);
}

QByteArray web_gpio_message(const QList<int> &gpi, const QList<int> &gpo, int link, int rs232_link,
                            std::optional<int> failsafe)
{
    QJsonObject data;
    data.insert(QStringLiteral("gpi"), int_array(gpi));
    data.insert(QStringLiteral("gpo"), int_array(gpo));
    data.insert(QStringLiteral("link"), link);
    data.insert(QStringLiteral("rs232_link"), rs232_link);
    if (failsafe)
        data.insert(QStringLiteral("failsafe"), *failsafe);
    return message("gpio", data);
}

QByteArray web_system_message(const WebSystemInfo &info)
{
    QJsonObject data;
    data.insert(QStringLiteral("version"), info.version);
    data.insert(QStringLiteral("version2"), info.version2);
    data.insert(QStringLiteral("dst_ip"), info.dst_ip);
    data.insert(QStringLiteral("system_mode"), info.system_mode);
    data.insert(QStringLiteral("baudrate"), info.baudrate);
    data.insert(QStringLiteral("parity"), info.parity);
    data.insert(QStringLiteral("gpi_names"), text_array(info.gpi_names));
    data.insert(QStringLiteral("gpo_names"), text_array(info.gpo_names));
    insert_options(data, info.options);
    return message("system", data);
}

QByteArray web_keepalive_message()
{
    QJsonObject data;
    data.insert(QStringLiteral("status"), QStringLiteral("alive"));
    return message("keepalive", data);
}

WebRequest web_parse_request(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    WebRequest request;
    if (has_repeated_key(utf8))
        return request;
    const QJsonObject root = QJsonDocument::fromJson(utf8).object();
    const QJsonValue type = root.value(QStringLiteral("type"));
    const QJsonValue data = root.value(QStringLiteral("data"));
    if (!type.isString() || !data.isObject())
        return request;
    const QString t = type.toString();
    if (t == QLatin1String("set_system"))
        request.type = WebRequestType::SetSystem;
    else if (t == QLatin1String("set_gpo"))
        request.type = WebRequestType::SetGpo;
    else if (t == QLatin1String("keepalive"))
        request.type = WebRequestType::Keepalive;
    else if (t == QLatin1String("get_history"))
        request.type = WebRequestType::GetHistory;
    else
        return request;
    request.data = data.toObject();
    return request;
}

WebSetSystem web_parse_set_system(const QJsonObject &data)
{
    WebSetSystem s;
    const QJsonValue dst = data.value(QStringLiteral("dst_ip"));
    if (dst.isString())
        s.dst_ip = dst.toString();
    s.system_mode = optional_int(data, "system_mode");
    s.baudrate = optional_int(data, "baudrate");
    s.parity = optional_int(data, "parity");
    s.gpi_names = optional_names(data, "gpi_names");
    s.gpo_names = optional_names(data, "gpo_names");
    s.failsafe_timeout = optional_int(data, "failsafe_timeout");
    s.failsafe_gpo = optional_states(data, "failsafe_gpo");
    s.link_allow = optional_strings(data, "link_allow");
    const QJsonValue key = data.value(QStringLiteral("web_key"));
    if (key.isString())
        s.web_key = key.toString();
    s.event_history = optional_int(data, "event_history");
    s.rs232_immediate = optional_int(data, "rs232_immediate");
    return s;
}

WebSetGpo web_parse_set_gpo(const QJsonObject &data)
{
    WebSetGpo g;
    g.index = web_to_int(data.value(QStringLiteral("index")));
    g.value = web_to_int(data.value(QStringLiteral("value")));
    return g;
}

QByteArray web_history_message(const QVector<history_event_t> &events)
{
    QJsonArray list;
    for (const history_event_t &e : events) {
        QJsonObject o;
        o.insert(QStringLiteral("time"), QJsonValue(qint64(e.time_ms)));
        o.insert(QStringLiteral("what"), e.what);
        o.insert(QStringLiteral("old"), e.old_value);
        o.insert(QStringLiteral("new"), e.new_value);
        o.insert(QStringLiteral("source"), e.source);
        list.append(o);
    }
    QJsonObject data;
    data.insert(QStringLiteral("events"), list);
    return message("history", data);
}
