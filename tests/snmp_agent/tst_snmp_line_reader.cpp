#include "snmp-line-reader.h"

#include <QtTest>

namespace {

// Every line complete after each read, in order, and whether the reader then held too much.
QStringList feed(Snmp_line_reader &reader, const QList<QByteArray> &reads, bool *too_long)
{
    QStringList lines;
    *too_long = false;
    for (const QByteArray &read : reads) {
        reader.append(read);
        QString line;
        while (reader.next(&line))
            lines << line;
        *too_long = *too_long || reader.too_long();
    }
    return lines;
}

QList<QByteArray> bytewise(const QByteArray &stream)
{
    QList<QByteArray> reads;
    for (char c : stream)
        reads << QByteArray(1, c);
    return reads;
}

} // namespace

class tst_Snmp_line_reader : public QObject
{
    Q_OBJECT
private slots:
    void lines_data();
    void lines();
    void bound_data();
    void bound();
    void clear_drops_partial_line();
};

void tst_Snmp_line_reader::lines_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QStringList>("lines");
    const QByteArray stream = "get\r\n.1.3.6.1.4.1.61904.16.1.1\n\nPING\n";
    const QStringList all{"get", ".1.3.6.1.4.1.61904.16.1.1", "", "PING"};
    QTest::newRow("one read") << QList<QByteArray>{stream} << all;
    QTest::newRow("byte by byte") << bytewise(stream) << all;
    QTest::newRow("CR and LF in two reads")
        << QList<QByteArray>{"get\r", "\nPING\n"} << QStringList{"get", "PING"};
    QTest::newRow("partial line waits") << QList<QByteArray>{"PING\nPI", "N"} << QStringList{"PING"};
    QTest::newRow("empty reads") << QList<QByteArray>{"", "PING", "", "\n"} << QStringList{"PING"};
    QTest::newRow("only the last CR goes") << QList<QByteArray>{"a\r\r\n\rb\n"}
                                           << QStringList{"a\r", "\rb"};
    QTest::newRow("invalid UTF-8; the text ends at a NUL")
        << QList<QByteArray>{QByteArray("\xff\x00z\n", 4)}
        << QStringList{QString::fromUtf8(QByteArray("\xff\x00z", 3))};
}

void tst_Snmp_line_reader::lines()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QStringList, lines);
    Snmp_line_reader reader;
    bool too_long = false;
    QCOMPARE(feed(reader, reads, &too_long), lines);
    QVERIFY(!too_long);
}

void tst_Snmp_line_reader::bound_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<bool>("too_long");
    const int max = Snmp_line_reader::MAX_LINE_LENGTH;
    QTest::newRow("partial line at the bound") << QList<QByteArray>{QByteArray(max, '1')} << false;
    QTest::newRow("one byte over") << QList<QByteArray>{QByteArray(max + 1, '1')} << true;
    QTest::newRow("over after complete lines")
        << QList<QByteArray>{QByteArray(3 * max, '\n') + QByteArray(max + 1, '1')} << true;
    // What a read completes does not count against the bound, however long it was.
    QTest::newRow("long line completed in one read")
        << QList<QByteArray>{QByteArray(3 * max, '1') + "\n"} << false;
    QTest::newRow("grows over two reads")
        << QList<QByteArray>{QByteArray(max, '1'), QByteArray(1, '1')} << true;
}

void tst_Snmp_line_reader::bound()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(bool, too_long);
    Snmp_line_reader reader;
    bool held_too_much = false;
    feed(reader, reads, &held_too_much);
    QCOMPARE(held_too_much, too_long);
}

// After a dropped connection the next one starts with no left-over bytes.
void tst_Snmp_line_reader::clear_drops_partial_line()
{
    Snmp_line_reader reader;
    bool too_long = false;
    QCOMPARE(feed(reader, {"PI"}, &too_long), QStringList{});
    reader.clear();
    QCOMPARE(feed(reader, {"NG\nPING\n"}, &too_long), (QStringList{"NG", "PING"}));
}

QTEST_GUILESS_MAIN(tst_Snmp_line_reader)
#include "tst_snmp_line_reader.moc"
