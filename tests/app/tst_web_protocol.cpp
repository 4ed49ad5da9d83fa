#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include "web-protocol.h"

Q_DECLARE_METATYPE(WebRequestType)

class tst_WebProtocol : public QObject
{
    Q_OBJECT

    static QJsonObject object(const char *json)
    {
        return QJsonDocument::fromJson(QByteArray(json)).object();
    }

private slots:
    // No raw string below holds a backslash: moc reads raw strings as plain ones, and an
    // escape inside one would hide every test slot after it.
    void parse_request_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<WebRequestType>("type");

        const auto I = WebRequestType::Ignored;
        QTest::newRow("keepalive") << R"({"type":"keepalive","data":{}})" << WebRequestType::Keepalive;
        QTest::newRow("set_gpo") << R"({"data":{"index":1},"type":"set_gpo"})" << WebRequestType::SetGpo;
        QTest::newRow("set_system") << R"({"type":"set_system","data":{"x":1}})" << WebRequestType::SetSystem;
        QTest::newRow("get_history") << R"({"type":"get_history","data":{}})" << WebRequestType::GetHistory;
        QTest::newRow("no data") << R"({"type":"keepalive"})" << I;
        QTest::newRow("data array") << R"({"type":"keepalive","data":[]})" << I;
        QTest::newRow("data null") << R"({"type":"keepalive","data":null})" << I;
        QTest::newRow("type number") << R"({"type":1,"data":{}})" << I;
        QTest::newRow("no type") << R"({"data":{}})" << I;
        QTest::newRow("case differs") << R"({"type":"Keepalive","data":{}})" << I;
        QTest::newRow("unknown type") << R"({"type":"get_gpio","data":{}})" << I;
        QTest::newRow("top-level array") << R"([{"type":"keepalive","data":{}}])" << I;
        QTest::newRow("invalid json") << R"({"type":"keepalive","data":{})" << I;
        QTest::newRow("empty") << "" << I;
        QTest::newRow("not json") << "keepalive" << I;
        // Qt's reader never released the first value of such a key: refused, not leaked.
        QTest::newRow("repeated key holding an array")
            << R"({"type": "set_system", "data": {"dst_ip": "192.168.0.50", "system_mode": 1, )"
               R"("baudrate": 115200, "parity": 0, "gpo_names": ["a", "b", "c", "d", "e", "f", )"
               R"("g", "h"], "gpo_names": ["out 1", 2, null]}})" << I;
        QTest::newRow("repeated key, escaped spelling")
            << "{\"type\":\"set_gpo\",\"data\":{\"index\":[1],\"\\u0069ndex\":2}}" << I;
        QTest::newRow("repeated key deep inside")
            << R"({"type":"set_gpo","data":{"x":[{"a":{"b":1},"a":2}]}})" << I;
        QTest::newRow("repeated type") << R"({"type":"keepalive","type":"keepalive","data":{}})" << I;
        QTest::newRow("one key in two objects")
            << R"({"type":"set_gpo","data":{"x":{"a":[1]},"y":{"a":[1]},"z":["a","a"]}})"
            << WebRequestType::SetGpo;
        QTest::newRow("key text repeated in values and escaped quotes")
            << "{\"type\":\"set_gpo\",\"data\":{\"a\":\"a\\\",\\\"a\",\"b\":\"a\"}}"
            << WebRequestType::SetGpo;
        QTest::newRow("nul inside") << QString::fromUtf8("{\"type\":\"keepalive\"\0,\"data\":{}}", 32) << I;
    }

    void parse_request()
    {
        QFETCH(QString, text);
        QFETCH(WebRequestType, type);
        QCOMPARE(web_parse_request(text).type, type);
    }

    // Every truncation of a good message is ignored, none crashes.
    void truncated_requests()
    {
        const QString good = R"({"type":"set_system","data":{"gpi_names":["a","b"],"baudrate":4}})";
        for (int n = 0; n < good.size(); ++n)
            QCOMPARE(web_parse_request(good.left(n)).type, WebRequestType::Ignored);
        QCOMPARE(web_parse_request(good).type, WebRequestType::SetSystem);
    }

    void to_int_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<int>("value");
        QTest::newRow("int") << "7" << 7;
        QTest::newRow("negative") << "-3" << -3;
        QTest::newRow("whole double") << "2.0" << 2;
        QTest::newRow("fraction") << "1.5" << 0;
        QTest::newRow("int max") << "2147483647" << 2147483647;
        QTest::newRow("past int max") << "2147483648" << 0;
        QTest::newRow("huge") << "1e300" << 0;
        QTest::newRow("string") << "\"4\"" << 0;
        QTest::newRow("bool") << "true" << 0;
        QTest::newRow("null") << "null" << 0;
    }

    void to_int()
    {
        QFETCH(QString, json);
        QFETCH(int, value);
        const QJsonObject o = QJsonDocument::fromJson(QStringLiteral("{\"v\":%1}").arg(json).toUtf8()).object();
        QCOMPARE(web_to_int(o.value(QStringLiteral("v"))), value);
    }

    void set_system_fields()
    {
        const WebSetSystem all = web_parse_set_system(object(
            R"({"dst_ip":"10.0.0.2","system_mode":1,"baudrate":4,"parity":2.5,
                "gpi_names":["a",3,null,"d"],"gpo_names":["1","2","3","4","5","6","7","8","9"]})"));
        QCOMPARE(*all.dst_ip, QStringLiteral("10.0.0.2"));
        QCOMPARE(*all.system_mode, 1);
        QCOMPARE(*all.baudrate, 4);
        QCOMPARE(*all.parity, 0); // present but not whole: counts as 0
        QCOMPARE(*all.gpi_names, (QList<QString> { "a", "", "", "d", "", "", "", "" }));
        QCOMPARE(all.gpo_names->size(), 8);
        QCOMPARE(all.gpo_names->last(), QStringLiteral("8"));

        // Wrong JSON types leave the field out: the unit keeps what it has.
        const WebSetSystem wrong = web_parse_set_system(object(
            R"({"dst_ip":5,"system_mode":"1","baudrate":null,"parity":[1],"gpi_names":"x","gpo_names":{}})"));
        QVERIFY(!wrong.dst_ip && !wrong.system_mode && !wrong.baudrate && !wrong.parity);
        QVERIFY(!wrong.gpi_names && !wrong.gpo_names);
        const WebSetSystem none = web_parse_set_system(QJsonObject());
        QVERIFY(!none.dst_ip && !none.system_mode && !none.gpi_names);
        QVERIFY(!none.failsafe_timeout && !none.failsafe_gpo && !none.link_allow && !none.web_key);
        QVERIFY(!none.event_history && !none.rs232_immediate);

        const WebSetSystem opts = web_parse_set_system(object(
            R"({"failsafe_timeout":5,"failsafe_gpo":[1,"x",1],"link_allow":["10.0.0.1",7,"10.1.0.0/16"],
                "web_key":"k","event_history":1,"rs232_immediate":0})"));
        QCOMPARE(*opts.failsafe_timeout, 5);
        QCOMPARE(*opts.failsafe_gpo, (QList<int> { 1, 0, 1, 0, 0, 0, 0, 0 }));
        QCOMPARE(*opts.link_allow, (QList<QString> { "10.0.0.1", "10.1.0.0/16" }));
        QCOMPARE(*opts.web_key, QStringLiteral("k"));
        QCOMPARE(*opts.event_history, 1);
        QCOMPARE(*opts.rs232_immediate, 0);
    }

    void history_reply()
    {
        history_event_t e;
        e.time_ms = 1765000000123;
        e.what = "gpo 3";
        e.old_value = 0;
        e.new_value = 1;
        e.source = "panel 10012";
        const QJsonObject o = QJsonDocument::fromJson(web_history_message({ e, e })).object();
        QCOMPARE(o.value("type").toString(), QStringLiteral("history"));
        const QJsonArray events = o.value("data").toObject().value("events").toArray();
        QCOMPARE(events.size(), 2);
        QCOMPARE(events.at(0).toObject(), object(
            R"({"time":1765000000123,"what":"gpo 3","old":0,"new":1,"source":"panel 10012"})"));
    }

    void set_gpo_fields_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("value");
        QTest::newRow("both") << R"({"index":3,"value":1})" << 3 << 1;
        QTest::newRow("none") << "{}" << 0 << 0;
        QTest::newRow("strings") << R"({"index":"3","value":"1"})" << 0 << 0;
        QTest::newRow("value kept as sent") << R"({"index":8,"value":-7})" << 8 << -7;
    }

    void set_gpo_fields()
    {
        QFETCH(QString, json);
        QFETCH(int, index);
        QFETCH(int, value);
        const WebSetGpo g = web_parse_set_gpo(QJsonDocument::fromJson(json.toUtf8()).object());
        QCOMPARE(g.index, index);
        QCOMPARE(g.value, value);
    }

    void outgoing_messages()
    {
        const QJsonObject gpio = QJsonDocument::fromJson(
            web_gpio_message({ 1, 0, 0, 0, 0, 0, 0, 255 }, { 0, 0, 0, 0, 0, 0, 0, 1 }, 1, 0)).object();
        QCOMPARE(gpio.value("type").toString(), QStringLiteral("gpio"));
        const QJsonObject d = gpio.value("data").toObject();
        QCOMPARE(d.keys(), (QStringList { "gpi", "gpo", "link", "rs232_link" }));
        QCOMPARE(d.value("gpi").toArray().last().toInt(), 255);
        QCOMPARE(d.value("link").toInt(), 1);

        WebSystemInfo info;
        info.version = "v";
        info.gpi_names = { "a", "b", "c", "d", "e", "f", "g", "h" };
        info.gpo_names = info.gpi_names;
        const QByteArray text = web_system_message(info);
        QVERIFY(text.contains('\n')); // indented form
        const QJsonObject s = QJsonDocument::fromJson(text).object().value("data").toObject();
        QCOMPARE(s.keys(), (QStringList { "baudrate", "dst_ip", "gpi_names", "gpo_names", "parity",
                                          "system_mode", "version", "version2" }));
        QCOMPARE(s.value("system_mode").toInt(), 2);
        QCOMPARE(s.value("version2").toString(), QString());

        // No optional key while every feature is off; a feature that is on shows its key.
        info.options.event_history = 1;
        info.options.failsafe_gpo[2] = 1;
        const QJsonObject on = QJsonDocument::fromJson(web_system_message(info)).object().value("data").toObject();
        QCOMPARE(on.size(), s.size() + 2);
        QCOMPARE(on.value("event_history").toInt(), 1);
        QCOMPARE(on.value("failsafe_gpo").toArray().at(2).toInt(), 1);
        const QJsonObject safe = QJsonDocument::fromJson(
            web_gpio_message({}, {}, 0, 0, 1)).object().value("data").toObject();
        QCOMPARE(safe.value("failsafe").toInt(), 1);

        QCOMPARE(QJsonDocument::fromJson(web_keepalive_message()).object(),
                 object(R"({"type":"keepalive","data":{"status":"alive"}})"));
    }
};

QTEST_GUILESS_MAIN(tst_WebProtocol)
#include "tst_web_protocol.moc"
