#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "settings.h"

class tst_Settings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    QString file() const { return home.path() + QStringLiteral("/config.conf"); }
    void writeFile(const QByteArray &text)
    {
        QFile f(file());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        // QSettings keeps a parsed copy per file and rereads it only when size or time
        // changed: two files written within one clock tick must not look the same.
        f.flush();
        static int tick = 0;
        f.setFileTime(QDateTime::currentDateTime().addSecs(++tick), QFileDevice::FileModificationTime);
    }

private slots:
    void initTestCase()
    {
        // QSettings resolves the configuration directory once per process.
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    }
    void init() { QFile::remove(file()); }

    void load_data()
    {
        QTest::addColumn<QByteArray>("text"); // null: no file at all
        QTest::addColumn<QString>("dst_ip");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("baudrate");
        QTest::addColumn<int>("parity");
        QTest::addColumn<QStringList>("gpi");
        QTest::addColumn<QStringList>("gpo");

        const QStringList gpi = { "GPI 1", "GPI 2", "GPI 3", "GPI 4", "GPI 5", "GPI 6", "GPI 7", "GPI 8" };
        const QStringList gpo = { "GPO 1", "GPO 2", "GPO 3", "GPO 4", "GPO 5", "GPO 6", "GPO 7", "GPO 8" };
        QStringList renamed = gpi;
        renamed[0] = "Door";

        QTest::newRow("no file") << QByteArray() << "" << 2 << 0 << 0 << gpi << gpo;
        QTest::newRow("only gpi_name_0") << QByteArray("[gpio_names]\ngpi_name_0=Door\n")
                                         << "" << 2 << 0 << 0 << renamed << gpo;
        QTest::newRow("mode as text") << QByteArray("[General]\nsystem_mode=server\n")
                                      << "" << 0 << 0 << 0 << gpi << gpo;
        QTest::newRow("all top-level keys")
            << QByteArray("[General]\ndst_ip=10.0.0.7\nsystem_mode=1\nbaudrate=4\nparity=2\n")
            << "10.0.0.7" << 1 << 4 << 2 << gpi << gpo;
        QTest::newRow("out of range kept") << QByteArray("[General]\nsystem_mode=9\nbaudrate=-3\n")
                                           << "" << 9 << -3 << 0 << gpi << gpo;
    }

    void load()
    {
        QFETCH(QByteArray, text);
        if (!text.isNull())
            writeFile(text);
        const HubSettings s = settings_load();
        QTEST(s.dst_ip, "dst_ip");
        QTEST(s.system_mode, "mode");
        QTEST(s.baudrate, "baudrate");
        QTEST(s.parity, "parity");
        QTEST(QStringList(s.gpi_names), "gpi");
        QTEST(QStringList(s.gpo_names), "gpo");
    }

    void saveWritesAllTwentyKeys()
    {
        writeFile("[gpio_names]\ngpi_name_0=Door\n");
        HubSettings s = settings_load();
        s.gpo_names[7] = QStringLiteral("Siren");
        s.dst_ip = QStringLiteral("192.168.0.50");
        settings_save(s);

        QSettings raw(file(), QSettings::IniFormat);
        const QStringList keys = raw.allKeys();
        QCOMPARE(keys.size(), 20);
        QCOMPARE(raw.value("dst_ip").toString(), QStringLiteral("192.168.0.50"));
        QCOMPARE(raw.value("system_mode").toInt(), 2);
        QCOMPARE(raw.value("gpio_names/gpi_name_0").toString(), QStringLiteral("Door"));
        QCOMPARE(raw.value("gpio_names/gpi_name_7").toString(), QStringLiteral("GPI 8"));
        QCOMPARE(raw.value("gpio_names/gpo_name_7").toString(), QStringLiteral("Siren"));

        const HubSettings back = settings_load();
        QCOMPARE(back.gpo_names, s.gpo_names);
        QCOMPARE(back.gpi_names, s.gpi_names);
    }

    // The optional features' keys are in the file only while they differ from the defaults.
    void options_round_trip()
    {
        HubSettings s = settings_load();
        s.options.failsafe_timeout = 30;
        s.options.failsafe_gpo = { 0, 1, 0, 0, 0, 0, 0, 1 };
        s.options.link_allow = { "10.77.0.2", "192.168.5.0/24" };
        s.options.web_key = QStringLiteral("s3cret, with comma");
        s.options.event_history = 1;
        s.options.rs232_immediate = 1;
        settings_save(s);
        QCOMPARE(QSettings(file(), QSettings::IniFormat).allKeys().size(), 26);
        QVERIFY(settings_load().options == s.options);

        s.options = HubOptions();
        settings_save(s);
        QCOMPARE(QSettings(file(), QSettings::IniFormat).allKeys().size(), 20);
        QVERIFY(settings_load().options == HubOptions());
    }

    void options_as_people_write_them_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<int>>("failsafe_gpo");
        QTest::addColumn<QStringList>("link_allow");
        const QList<int> off = { 0, 0, 0, 0, 0, 0, 0, 0 };
        QTest::newRow("none") << QByteArray() << off << QStringList();
        QTest::newRow("unquoted lists")
            << QByteArray("[General]\nfailsafe_gpo=1, 0, 1\nlink_allow=10.0.0.1, 10.1.0.0/16\n")
            << QList<int> { 1, 0, 1, 0, 0, 0, 0, 0 } << QStringList { "10.0.0.1", "10.1.0.0/16" };
        QTest::newRow("one address, junk states")
            << QByteArray("[General]\nfailsafe_gpo=\"x,1,,1,1,1,1,1,1,1\"\nlink_allow=10.0.0.1\n")
            << QList<int> { 0, 1, 0, 1, 1, 1, 1, 1 } << QStringList { "10.0.0.1" };
    }

    void options_as_people_write_them()
    {
        QFETCH(QByteArray, text);
        writeFile(text);
        const HubOptions o = settings_load().options;
        QTEST(o.failsafe_gpo, "failsafe_gpo");
        QTEST(QStringList(o.link_allow), "link_allow");
    }
};

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
