#include <QElapsedTimer>
#include <QtTest>

#include <memory>

#include "repeat-log.h"

namespace {
QStringList *captured = nullptr;
QElapsedTimer *clock_since = nullptr;
QList<qint64> *captured_at = nullptr;

void capture(QtMsgType, const QMessageLogContext &, const QString &message)
{
    captured->append(message);
    captured_at->append(clock_since->elapsed());
}
} // namespace

// The log is captured by a message handler; every line a site logs goes through pass().
class tst_RepeatLog : public QObject
{
    Q_OBJECT

private:
    QStringList lines;
    QList<qint64> at;
    QElapsedTimer clock;
    QtMessageHandler previous = nullptr;

    // Calls pass() n times, logging like a call site does; returns how many passed.
    static int offer(RepeatLog &log, int n)
    {
        int passed = 0;
        for (int i = 0; i < n; ++i) {
            if (log.pass()) {
                qDebug("type: %d", i);
                ++passed;
            }
        }
        return passed;
    }

private slots:
    void init()
    {
        lines.clear();
        at.clear();
        captured = &lines;
        captured_at = &at;
        clock.start();
        clock_since = &clock;
        previous = qInstallMessageHandler(capture);
    }
    void cleanup() { qInstallMessageHandler(previous); }

    void window_data()
    {
        QTest::addColumn<int>("burst");
        QTest::addColumn<int>("offered");
        QTest::addColumn<QStringList>("log");

        QTest::newRow("one line") << 3 << 1 << QStringList { "type: 0" };
        QTest::newRow("exactly the burst")
            << 3 << 3 << QStringList { "type: 0", "type: 1", "type: 2" };
        QTest::newRow("one more than the burst")
            << 3 << 4 << QStringList { "type: 0", "type: 1", "type: 2", "type: ... repeated 1 times" };
        QTest::newRow("flood") << 1 << 100000
                               << QStringList { "type: 0", "type: ... repeated 99999 times" };
    }

    // Lines within the burst keep their exact text; the rest of the window becomes one line.
    void window()
    {
        QFETCH(int, burst);
        QFETCH(int, offered);
        RepeatLog log(QStringLiteral("type:"), burst, 100);
        offer(log, offered);
        QTest::qWait(250);
        QTEST(lines, "log");
    }

    // Under a lasting flood each window doubles, so the summaries thin out; once a window
    // passes without a repeat, the next is of the first length again.
    void windowsGrowUnderFloodAndShrinkWhenQuiet()
    {
        const int first = 200;
        RepeatLog log(QStringLiteral("LTC: TX queue full"), 1, first, 10000);
        QCOMPARE(offer(log, 5), 1);
        QTRY_COMPARE_WITH_TIMEOUT(lines.size(), 2, 5000);
        // A coarse timer may end a window up to 5 % early.
        const qint64 first_end = at[1];
        QVERIFY(first_end >= first * 9 / 10);

        QCOMPARE(offer(log, 5), 1);
        QTRY_COMPARE_WITH_TIMEOUT(lines.size(), 4, 5000);
        QCOMPARE(lines[3], QStringLiteral("LTC: TX queue full ... repeated 4 times"));
        QVERIFY2(at[3] - first_end >= 2 * first * 9 / 10, qPrintable(QString::number(at[3] - first_end)));

        // A window with one line and no repeat: quiet.
        const qint64 quiet_start = clock.elapsed();
        QCOMPARE(offer(log, 1), 1);
        QTest::qWait(4 * first + 100);
        QCOMPARE(lines.size(), 5);

        const qint64 start = clock.elapsed();
        QCOMPARE(offer(log, 3), 1);
        QTRY_COMPARE_WITH_TIMEOUT(lines.size(), 7, 5000);
        QVERIFY(start - quiet_start >= 4 * first);
        // Back to the first length, not the doubled one.
        QVERIFY2(at[6] - start < 3 * first, qPrintable(QString::number(at[6] - start)));
    }

    void pendingSummaryIsLoggedAtTheEnd()
    {
        auto log = std::make_unique<RepeatLog>(QStringLiteral("Incorrect connection protocol!"), 2,
                                               60000);
        QCOMPARE(offer(*log, 7), 2);
        QCOMPARE(lines.size(), 2);
        log.reset();
        QCOMPARE(lines.last(), QStringLiteral("Incorrect connection protocol! ... repeated 5 times"));
    }

    void nothingPendingLogsNothingAtTheEnd()
    {
        {
            RepeatLog log(QStringLiteral("type:"), 2, 60000);
            offer(log, 2);
        }
        QCOMPARE(lines, (QStringList { "type: 0", "type: 1" }));
    }
};

QTEST_GUILESS_MAIN(tst_RepeatLog)
#include "tst_repeat_log.moc"
