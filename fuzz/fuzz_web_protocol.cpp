// A WebSocket text message as the web port's dispatcher reads it: the request, then the
// set_system or set_gpo data. And the unit's own system report, turned into a set_system
// request, must give back every field it carries.

#include <QJsonDocument>
#include <QJsonObject>

#include "fuzz-input.h"
#include "web-protocol.h"

namespace {

void dispatch(const QString &text)
{
    const WebRequest request = web_parse_request(text);
    if (request.type == WebRequestType::SetSystem) {
        const WebSetSystem s = web_parse_set_system(request.data);
        if (s.gpi_names)
            FUZZ_CHECK(s.gpi_names->size() == 8);
        if (s.gpo_names)
            FUZZ_CHECK(s.gpo_names->size() == 8);
    } else if (request.type == WebRequestType::SetGpo) {
        web_parse_set_gpo(request.data);
    } else if (request.type == WebRequestType::Ignored) {
        FUZZ_CHECK(request.data.isEmpty());
    }
}

// Texts and numbers taken from the input: eight-byte slices as Latin-1 text, so any byte
// value ends up in a JSON string.
void round_trip(const QByteArray &bytes)
{
    auto text = [&](int k) { return QString::fromLatin1(bytes.mid(8 * k, 8)); };
    auto number = [&](int k) { return int(qHash(bytes.mid(k, 4))) % 100000; };
    WebSystemInfo info;
    info.dst_ip = text(0);
    info.system_mode = number(1);
    info.baudrate = number(2);
    info.parity = -number(3);
    for (int n = 0; n < 8; ++n) {
        info.gpi_names.append(text(1 + n));
        info.gpo_names.append(text(9 + n));
    }
    QJsonObject root = QJsonDocument::fromJson(web_system_message(info)).object();
    FUZZ_CHECK(root.value(QStringLiteral("type")).toString() == QLatin1String("system"));
    root.insert(QStringLiteral("type"), QStringLiteral("set_system"));
    const WebRequest request =
            web_parse_request(QString::fromUtf8(QJsonDocument(root).toJson(QJsonDocument::Compact)));
    FUZZ_CHECK(request.type == WebRequestType::SetSystem);
    const WebSetSystem s = web_parse_set_system(request.data);
    FUZZ_CHECK(s.dst_ip == info.dst_ip);
    FUZZ_CHECK(s.system_mode == info.system_mode);
    FUZZ_CHECK(s.baudrate == info.baudrate);
    FUZZ_CHECK(s.parity == info.parity);
    FUZZ_CHECK(s.gpi_names == info.gpi_names);
    FUZZ_CHECK(s.gpo_names == info.gpo_names);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzz_bytes(data, size);
    dispatch(QString::fromUtf8(bytes));
    round_trip(bytes);
    return 0;
}
