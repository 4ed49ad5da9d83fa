#include <QtTest>

#include "codec-7391.h"
#include "pseudoterminal.h"
#include "tolvane-xmega.h"

namespace {
QByteArray frame_of(const QByteArray &message)
{
    QByteArray frame(2 * message.size() + 8, '\0');
    frame.resize(encode_7391(message.constData(), message.size(), frame.data()));
    return frame;
}

QByteArray message_of(const QByteArray &frame)
{
    QByteArray message(frame.size(), '\0');
    message.resize(decode_7391(frame.constData(), message.data(), frame.size()));
    return message;
}

enum Command { VersionRequest, GpiRequest, Gpo };
} // namespace

Q_DECLARE_METATYPE(Command)

class tst_Tolvanexmega : public QObject
{
    Q_OBJECT
private slots:
    void commands_data();
    void commands();
    void reports_data();
    void reports();
    void ack_releases_next_command();
};

void tst_Tolvanexmega::commands_data()
{
    QTest::addColumn<Command>("command");
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("version request") << VersionRequest << QList<int>() << QByteArray::fromHex("0100");
    QTest::newRow("input-state request") << GpiRequest << QList<int>() << QByteArray::fromHex("0400");
    QTest::newRow("output 2 on") << Gpo << QList<int> { 0, 1, 0, 0, 0, 0, 0, 0 }
                                 << QByteArray::fromHex("050001000000000000");
    QTest::newRow("low 8 bits") << Gpo << QList<int> { 256, 255, -1, 257, 0, 0, 0, 1 }
                                << QByteArray::fromHex("0500FFFF0100000001");
    QTest::newRow("short list is off") << Gpo << QList<int> { 1, 1 } << QByteArray::fromHex("050101000000000000");
    QTest::newRow("empty list") << Gpo << QList<int>() << QByteArray::fromHex("050000000000000000");
    QTest::newRow("long list") << Gpo << QList<int> { 1, 0, 0, 0, 0, 0, 0, 1, 1, 1 }
                               << QByteArray::fromHex("050100000000000001");
}

void tst_Tolvanexmega::commands()
{
    QFETCH(Command, command);
    QFETCH(QList<int>, states);
    QFETCH(QByteArray, message);
    PseudoTerminal pty;
    Tolvanexmega xmega(pty.slavePath());
    switch (command) {
    case VersionRequest: xmega.send_cmd_version_request(); break;
    case GpiRequest: xmega.send_cmd_gpi_request(); break;
    case Gpo: xmega.send_cmd_gpo(states); break;
    }
    const QByteArray frame = frame_of(message);
    const QByteArray wire = pty.read(frame.size());
    QCOMPARE(wire, frame);
    QCOMPARE(message_of(wire), message);
}

void tst_Tolvanexmega::reports_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QVariantList>("versions");
    QTest::addColumn<QVariantList>("gpis");
    QTest::addColumn<QString>("log");
    const QByteArray thirty("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
    using V = QVariantList;
    QTest::newRow("version 1.2") << QByteArray::fromHex("02312E3200") + QByteArray(26, '\0')
                                 << V { QString("1.2") } << V {} << QString();
    QTest::newRow("version without 0") << QByteArray(1, '\x02') + thirty << V { QString(thirty) } << V {} << QString();
    QTest::newRow("version beyond 30 bytes") << QByteArray(1, '\x02') + thirty + "XYZ"
                                             << V { QString(thirty) } << V {} << QString();
    QTest::newRow("short version") << QByteArray::fromHex("024142") << V { QString("AB") } << V {} << QString();
    QTest::newRow("bare version id") << QByteArray::fromHex("02") << V { QString() } << V {} << QString();
    QTest::newRow("inputs 1 and 8") << QByteArray::fromHex("030100000000000001") << V {}
                                    << V { QVariant::fromValue(QList<int> { 1, 0, 0, 0, 0, 0, 0, 1 }) } << QString();
    QTest::newRow("input byte FF") << QByteArray::fromHex("0300FF000000000000") << V {}
                                   << V { QVariant::fromValue(QList<int> { 0, 255, 0, 0, 0, 0, 0, 0 }) } << QString();
    QTest::newRow("long input report") << QByteArray::fromHex("03010101010101010199") << V {}
                                       << V { QVariant::fromValue(QList<int> { 1, 1, 1, 1, 1, 1, 1, 1 }) } << QString();
    QTest::newRow("short input report") << QByteArray::fromHex("030101") << V {} << V {}
                                        << QString("LTC: Short input report dropped");
    QTest::newRow("unknown 07") << QByteArray::fromHex("07010203") << V {} << V {} << QString("LTC: Unknown message");
    QTest::newRow("unknown FF") << QByteArray::fromHex("FF") << V {} << V {} << QString("LTC: Unknown message");
    QTest::newRow("own command echoed") << QByteArray::fromHex("050100000000000000") << V {} << V {}
                                        << QString("LTC: Unknown message");
    QTest::newRow("ack") << QByteArray::fromHex("00") << V {} << V {} << QString();
}

// Reports are taken whenever they come, with or without a request outstanding.
void tst_Tolvanexmega::reports()
{
    QFETCH(QByteArray, message);
    QFETCH(QVariantList, versions);
    QFETCH(QVariantList, gpis);
    QFETCH(QString, log);
    PseudoTerminal pty;
    Tolvanexmega xmega(pty.slavePath());
    QSignalSpy version_spy(&xmega, &Tolvanexmega::msg_version);
    QSignalSpy gpi_spy(&xmega, &Tolvanexmega::msg_gpi);
    if (!log.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, log.toLatin1().constData());
    pty.write(frame_of(message));
    // A report behind it shows the line has been read past this message.
    const QByteArray marker = QByteArray::fromHex("03") + QByteArray(8, '\x07');
    pty.write(frame_of(marker));
    const QList<int> marker_states { 7, 7, 7, 7, 7, 7, 7, 7 };
    QTRY_VERIFY(!gpi_spy.isEmpty() && gpi_spy.last().first().value<QList<int>>() == marker_states);
    gpi_spy.removeLast();

    QCOMPARE(version_spy.size(), versions.size());
    for (int k = 0; k < versions.size(); ++k)
        QCOMPARE(version_spy.at(k).first(), versions.at(k));
    QCOMPARE(gpi_spy.size(), gpis.size());
    for (int k = 0; k < gpis.size(); ++k)
        QCOMPARE(gpi_spy.at(k).first().value<QList<int>>(), gpis.at(k).value<QList<int>>());
}

void tst_Tolvanexmega::ack_releases_next_command()
{
    PseudoTerminal pty;
    Tolvanexmega xmega(pty.slavePath());
    QSignalSpy version_spy(&xmega, &Tolvanexmega::msg_version);
    QSignalSpy gpi_spy(&xmega, &Tolvanexmega::msg_gpi);
    xmega.send_cmd_gpi_request();
    xmega.send_cmd_version_request();
    const QByteArray first = frame_of(QByteArray::fromHex("0400"));
    const QByteArray second = frame_of(QByteArray::fromHex("0100"));
    QCOMPARE(pty.read(first.size()), first);
    QCOMPARE(pty.read(1, 300), QByteArray());
    pty.write(frame_of(QByteArray(1, '\0')));
    QCOMPARE(pty.read(second.size(), 1000), second);
    QCOMPARE(version_spy.size(), 0);
    QCOMPARE(gpi_spy.size(), 0);
}

QTEST_GUILESS_MAIN(tst_Tolvanexmega)
#include "tst_tolvanexmega.moc"
