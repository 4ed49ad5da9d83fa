#include <QtTest>

#include "event-history.h"

class tst_EventHistory : public QObject
{
    Q_OBJECT

private slots:
    void keeps_the_newest_in_order_data()
    {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("recorded");
        QTest::newRow("empty") << 1000 << 0;
        QTest::newRow("below capacity") << 1000 << 7;
        QTest::newRow("exactly full") << 1000 << 1000;
        QTest::newRow("wrapped") << 1000 << 1001;
        QTest::newRow("wrapped many times") << 10 << 95;
        QTest::newRow("capacity one") << 1 << 3;
    }

    void keeps_the_newest_in_order()
    {
        QFETCH(int, capacity);
        QFETCH(int, recorded);
        EventHistory h(capacity);
        for (int n = 0; n < recorded; ++n)
            h.record(QStringLiteral("gpi 1"), n, n + 1, QStringLiteral("controller"));
        const QVector<history_event_t> events = h.events();
        const int kept = qMin(capacity, recorded);
        QCOMPARE(h.size(), kept);
        QCOMPARE(events.size(), kept);
        for (int i = 0; i < kept; ++i)
            QCOMPARE(events[i].old_value, recorded - kept + i);
        for (int i = 1; i < kept; ++i)
            QVERIFY(events[i].time_ms >= events[i - 1].time_ms);
    }

    void clear_forgets_everything()
    {
        EventHistory h(3);
        h.record("mode", 2, 1, "web");
        h.clear();
        QCOMPARE(h.events().size(), 0);
        h.record("link", 0, 1, "peer");
        QCOMPARE(h.events().first().what, QStringLiteral("link"));
        QCOMPARE(h.events().first().source, QStringLiteral("peer"));
    }
};

QTEST_GUILESS_MAIN(tst_EventHistory)
#include "tst_event_history.moc"
