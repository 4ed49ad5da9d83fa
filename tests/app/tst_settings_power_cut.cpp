#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

// A save killed at any moment leaves config.conf whole: the old set or the new one, never a
// mix, a truncation or no file. The saver (settings-saver) rewrites the file without pause,
// alternating two sets that differ in every key; each trial kills it with SIGKILL after a
// random delay and compares the file byte for byte with what a clean save of either set
// writes. TOLVANE_POWER_CUT_TRIALS sets the number of trials (default 200).
class tst_SettingsPowerCut : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    QString saver;
    QProcessEnvironment env;

    QString file() const { return home.path() + QStringLiteral("/config.conf"); }
    QByteArray content() const
    {
        QFile f(file());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(no file)");
    }
    // A save cut short leaves its temporary file beside config.conf.
    QStringList leftovers() const
    {
        QStringList names = QDir(home.path()).entryList(QDir::Files);
        names.removeAll(QStringLiteral("config.conf"));
        return names;
    }
    QByteArray saveOnce(const char *set)
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(saver, { QString::fromLatin1(set) });
        if (!p.waitForFinished(30000) || p.exitCode() != 0)
            return QByteArray();
        return content();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        saver = QCoreApplication::applicationDirPath() + QStringLiteral("/settings-saver");
        QVERIFY(QFile::exists(saver));
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    }

    void killedSaveLeavesOldOrNewFile()
    {
        const QByteArray a = saveOnce("a");
        const QByteArray b = saveOnce("b");
        QVERIFY(!a.isEmpty() && !b.isEmpty() && a != b);

        const int trials = qEnvironmentVariableIsSet("TOLVANE_POWER_CUT_TRIALS")
                               ? qEnvironmentVariableIntValue("TOLVANE_POWER_CUT_TRIALS")
                               : 200;
        int seen_a = 0, seen_b = 0, temp_files = 0;
        for (int trial = 0; trial < trials; ++trial) {
            QProcess p;
            p.setProcessEnvironment(env);
            p.start(saver, { QStringLiteral("loop") });
            QVERIFY(p.waitForStarted(10000));
            while (!p.readAllStandardOutput().contains("saving"))
                QVERIFY2(p.waitForReadyRead(30000), "the saver never saved");
            std::this_thread::sleep_for(
                std::chrono::microseconds(QRandomGenerator::global()->bounded(5000)));
            p.kill();
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitStatus(), QProcess::CrashExit);

            const QByteArray now = content();
            if (now == a)
                ++seen_a;
            else if (now == b)
                ++seen_b;
            else
                QFAIL(qPrintable(QStringLiteral("trial %1 left neither set:\n%2")
                                     .arg(trial).arg(QString::fromUtf8(now))));
            for (const QString &name : leftovers()) {
                ++temp_files;
                QVERIFY(QFile::remove(home.path() + QLatin1Char('/') + name));
            }
        }
        qInfo("%d trials: old or new set %d and %d times; %d temporary files left by killed saves",
              trials, seen_a, seen_b, temp_files);
        // Kills land at random points of the loop, so both sets turn up.
        if (trials >= 50)
            QVERIFY(seen_a > 0 && seen_b > 0);
    }
};

QTEST_GUILESS_MAIN(tst_SettingsPowerCut)
#include "tst_settings_power_cut.moc"
