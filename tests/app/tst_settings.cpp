#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include <sys/stat.h>

#include "settings.h"

Q_DECLARE_METATYPE(std::function<void(HubSettings &)>)

class tst_Settings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;
    QString file() const { return home.path() + QStringLiteral("/config.conf"); }
    // A save replaces the file by a new one, so an unchanged inode means nothing was written.
    ino_t inode() const
    {
        struct stat st {};
        return ::stat(QFile::encodeName(file()).constData(), &st) == 0 ? st.st_ino : 0;
    }
    // Each file gets a time of its own: QSettings takes a file of the same size and time as
    // one it has read before for unchanged, and two rows may write within one millisecond.
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

    // Only a file holding all twenty keys as a save writes them is known; any other file is
    // rewritten by the first save, even when the values would stay.
    void storedOnlyWhenAsSaved_data()
    {
        QTest::addColumn<QByteArray>("text"); // null: no file at all
        QTest::addColumn<bool>("known");

        QFile::remove(file());
        HubSettings renamed = settings_load();
        renamed.gpi_names[3] = QStringLiteral("Gate, east");
        renamed.dst_ip = QStringLiteral("10.0.0.7");
        QVERIFY(settings_save(renamed));
        QFile saved(file());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray as_saved = saved.readAll();

        QTest::newRow("no file") << QByteArray() << false;
        QTest::newRow("as saved") << as_saved << true;
        QVERIFY(as_saved.contains("gpo_name_7=GPO 8\n"));
        QTest::newRow("one name missing")
            << QByteArray(as_saved).replace("gpo_name_7=GPO 8\n", "") << false;
        QTest::newRow("mode as text")
            << QByteArray(as_saved).replace("system_mode=2", "system_mode=server") << false;
        QTest::newRow("mode with a leading zero")
            << QByteArray(as_saved).replace("system_mode=2", "system_mode=02") << false;
        QTest::newRow("only gpi_name_0") << QByteArray("[gpio_names]\ngpi_name_0=Door\n") << false;
    }

    void storedOnlyWhenAsSaved()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, known);
        if (!text.isNull())
            writeFile(text);
        std::optional<HubSettings> stored = settings_stored();
        QCOMPARE(stored.has_value(), known);
        const HubSettings loaded = settings_load();
        if (known)
            QCOMPARE(*stored, loaded);

        QCOMPARE(settings_save_changed(loaded, stored), !known);
        QSettings raw(file(), QSettings::IniFormat);
        QCOMPARE(raw.allKeys().size(), 20);
        QVERIFY(stored);
        QCOMPARE(settings_stored(), stored);
    }

    void saveWritesOnlyChanges_data()
    {
        QTest::addColumn<std::function<void(HubSettings &)>>("change");
        QTest::newRow("dst_ip") << std::function<void(HubSettings &)>(
            [](HubSettings &s) { s.dst_ip = QStringLiteral("192.168.1.9"); });
        QTest::newRow("system_mode") << std::function<void(HubSettings &)>(
            [](HubSettings &s) { s.system_mode = 0; });
        QTest::newRow("baudrate") << std::function<void(HubSettings &)>(
            [](HubSettings &s) { s.baudrate = 7; });
        QTest::newRow("parity") << std::function<void(HubSettings &)>(
            [](HubSettings &s) { s.parity = 1; });
        QTest::newRow("first input name") << std::function<void(HubSettings &)>(
            [](HubSettings &s) { s.gpi_names[0] = QStringLiteral("Door"); });
        QTest::newRow("last output name") << std::function<void(HubSettings &)>(
            [](HubSettings &s) { s.gpo_names[7] = QStringLiteral("Siren"); });
        QTest::newRow("name back to its default") << std::function<void(HubSettings &)>(
            [](HubSettings &s) { s.gpo_names[2] = QStringLiteral("GPO 3"); });
    }

    void saveWritesOnlyChanges()
    {
        QFETCH(std::function<void(HubSettings &)>, change);
        HubSettings s = settings_load();
        s.gpo_names[2] = QStringLiteral("Horn");
        QVERIFY(settings_save(s));
        std::optional<HubSettings> stored = settings_stored();
        QVERIFY(stored);

        const ino_t before = inode();
        QVERIFY(!settings_save_changed(s, stored));
        QVERIFY(!settings_save_changed(settings_load(), stored));
        QCOMPARE(inode(), before);

        change(s);
        QVERIFY(settings_save_changed(s, stored));
        QVERIFY(inode() != before);
        // On disk before the call returns, for a fresh reader of the file.
        QCOMPARE(settings_load(), s);
        QCOMPARE(stored, std::optional<HubSettings>(s));

        const ino_t after = inode();
        QVERIFY(!settings_save_changed(s, stored));
        QCOMPARE(inode(), after);
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
