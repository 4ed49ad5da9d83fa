#include "panel-stream.h"
#include "vgpi_api.h"

#include <QSignalSpy>
#include <QtTest>

namespace {
const QByteArray HANDSHAKE = QByteArray("PERP\x00\x01\x00\x00", 8);
const QByteArray LED3_ON = QByteArray::fromHex("0000000b00020003010002");
const QByteArray KEEPALIVE = QByteArray::fromHex("0000000b00000000010000");
} // namespace

class tst_Panel_stream : public QObject
{
    Q_OBJECT
private slots:
    void first_read_data();
    void first_read();
    void later_reads_are_frames();
};

void tst_Panel_stream::first_read_data()
{
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<int>("step");
    QTest::newRow("handshake") << HANDSHAKE << int(Panel_stream::GREETED);
    QTest::newRow("handshake and a frame in one read") << HANDSHAKE + LED3_ON
                                                       << int(Panel_stream::REFUSED);
    QTest::newRow("first half of the handshake") << HANDSHAKE.left(4) << int(Panel_stream::REFUSED);
    QTest::newRow("unit link handshake") << QByteArray("NORV\x00\x03\x00\x00", 8)
                                         << int(Panel_stream::REFUSED);
    QTest::newRow("a frame") << LED3_ON << int(Panel_stream::REFUSED);
    QTest::newRow("empty read") << QByteArray() << int(Panel_stream::REFUSED);
}

// The first read decides, and is never parsed as frames whatever it holds.
void tst_Panel_stream::first_read()
{
    QFETCH(QByteArray, read);
    QFETCH(int, step);
    Vgpi_api parser;
    QSignalSpy frames(&parser, &Vgpi_api::signal_parse_frame);
    Panel_stream stream;
    QCOMPARE(int(stream.receive(read, parser)), step);
    QCOMPARE(frames.size(), 0);
    QCOMPARE(Panel_stream::handshake(), HANDSHAKE);
}

// After the handshake every read is frames, a handshake sent again included.
void tst_Panel_stream::later_reads_are_frames()
{
    Vgpi_api parser;
    QSignalSpy frames(&parser, &Vgpi_api::signal_parse_frame);
    Panel_stream stream;
    QCOMPARE(stream.receive(HANDSHAKE, parser), Panel_stream::GREETED);
    QCOMPARE(stream.receive(LED3_ON + KEEPALIVE, parser), Panel_stream::FRAMES);
    QCOMPARE(stream.receive(HANDSHAKE, parser), Panel_stream::FRAMES);
    QCOMPARE(frames.size(), 2);
    QCOMPARE(frames[0], (QList<QVariant>{2, 3, 2}));
    QCOMPARE(frames[1], (QList<QVariant>{0, 0, 0}));
}

QTEST_GUILESS_MAIN(tst_Panel_stream)
#include "tst_panel_stream.moc"
