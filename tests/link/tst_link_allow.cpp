// Which peers may open a link connection.
#include <QtTest>

#include "link-allow.h"

class tst_link_allow : public QObject
{
    Q_OBJECT

private slots:
    void permits_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<bool>("permitted");

        const QStringList list = { "10.77.0.2", " 192.168.5.0/24 " };
        QTest::newRow("empty list: anyone") << QStringList() << "203.0.113.9" << true;
        QTest::newRow("exact address") << list << "10.77.0.2" << true;
        QTest::newRow("neighbour of the address") << list << "10.77.0.3" << false;
        QTest::newRow("inside the range") << list << "192.168.5.200" << true;
        QTest::newRow("outside the range") << list << "192.168.6.1" << false;
        QTest::newRow("dual-stack mapped") << list << "::ffff:10.77.0.2" << true;
        QTest::newRow("dual-stack mapped, outside") << list << "::ffff:10.77.0.9" << false;
        QTest::newRow("IPv6 peer") << list << "fe80::1" << false;
        QTest::newRow("only bad entries: nobody")
            << QStringList { "not-an-address", "10.0.0.0/33" } << "10.0.0.1" << false;
    }

    void permits()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, peer);
        LinkAllowList allow;
        allow.set(entries);
        QTEST(allow.permits(QHostAddress(peer)), "permitted");
    }

    void logs_once_a_minute_per_address()
    {
        LinkAllowList allow;
        const QHostAddress a("10.0.0.1"), b("::ffff:10.0.0.2");
        QVERIFY(allow.should_log(a, 1000));
        QVERIFY(!allow.should_log(a, 1059));
        QVERIFY(!allow.should_log(QHostAddress("::ffff:10.0.0.1"), 1030));
        QVERIFY(allow.should_log(b, 1030));
        QVERIFY(allow.should_log(a, 1060));
        // A flood of distinct addresses is remembered within a bound, never without one.
        for (quint32 n = 0; n < 5000; ++n)
            allow.should_log(QHostAddress(0x0a000000 + n), 2000);
    }
};

QTEST_GUILESS_MAIN(tst_link_allow)
#include "tst_link_allow.moc"
