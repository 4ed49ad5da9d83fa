#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "led.h"
#include "watchdog.h"

// The watchdog device is played by a FIFO: its reader sees every byte written.
class tst_Watchdog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString fifo;
    int reader = -1;

    QByteArray drain()
    {
        QByteArray out;
        char buf[64];
        ssize_t n;
        while ((n = ::read(reader, buf, sizeof buf)) > 0)
            out.append(buf, int(n));
        return out;
    }
    // Whether some process holds the write end: with no writer the read reports end of file.
    bool writerOpen()
    {
        char c;
        return ::read(reader, &c, 0) < 0 || (::read(reader, &c, 1) < 0 && errno == EAGAIN);
    }

private slots:
    void init()
    {
        fifo = dir.filePath(QStringLiteral("watchdog"));
        ::unlink(qPrintable(fifo));
        QCOMPARE(::mkfifo(qPrintable(fifo), 0600), 0);
        reader = ::open(qPrintable(fifo), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
    }
    void cleanup() { ::close(reader); }

    void disabledNeverOpens()
    {
        Watchdog wd(0, fifo);
        QTest::qWait(1200);
        QVERIFY(!writerOpen());
        QCOMPARE(drain(), QByteArray());
    }

    void feedsOncePerSecondAndDisarms()
    {
        {
            Watchdog wd(1, fifo);
            QVERIFY(writerOpen());
            QTest::qWait(2500);
            QCOMPARE(drain(), QByteArray(2, '\0'));
        }
        QCOMPARE(drain(), QByteArray("V"));
        QVERIFY(!writerOpen());
    }

    void stopTwiceWritesVOnce()
    {
        Watchdog wd(1, fifo);
        wd.stop();
        wd.stop();
        QCOMPARE(drain(), QByteArray("V"));
        QTest::qWait(1200); // no feeding after stop
        QCOMPARE(drain(), QByteArray());
    }

    void missingDeviceIsSilent()
    {
        static int messages;
        messages = 0;
        QtMessageHandler old = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) { ++messages; });
        {
            Watchdog wd(1, dir.filePath(QStringLiteral("absent")));
            wd.stop();
        }
        qInstallMessageHandler(old);
        QCOMPARE(messages, 0);
    }

    void led_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("on") << 1 << QByteArray("1\n");
        QTest::newRow("off") << 0 << QByteArray("0\n");
        QTest::newRow("negative") << -12 << QByteArray("-12\n");
    }
    void led()
    {
        QFETCH(int, value);
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("leds/LINK")));
        QFile file(dir.filePath(QStringLiteral("leds/LINK/brightness")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.close();
        led_set(QStringLiteral("LINK"), value, dir.filePath(QStringLiteral("leds/")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QTEST(file.readAll(), "written");
    }

    void ledMissingIsSilent()
    {
        led_set(QStringLiteral("NOPE"), 1, dir.filePath(QStringLiteral("leds/")));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("leds/NOPE/brightness"))));
    }
};

QTEST_GUILESS_MAIN(tst_Watchdog)
#include "tst_watchdog.moc"
