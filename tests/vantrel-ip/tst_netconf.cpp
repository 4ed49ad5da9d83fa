#include "netconf.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

const char untouched[] = "170.170.170.170";

QString dotted(const uint8_t *a)
{
    return QStringLiteral("%1.%2.%3.%4").arg(a[0]).arg(a[1]).arg(a[2]).arg(a[3]);
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Standard error of the C functions, collected in a file while `call` runs.
template <typename F>
QByteArray captureStderr(const QString &path, F call)
{
    fflush(stderr);
    const int saved = dup(2);
    const int fd = open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
    call();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return readFile(path);
}

// A line of 200 characters whose netmask text starts after `prefix` filler characters.
QByteArray longLine(int prefix)
{
    QByteArray line = QByteArray(prefix, 'x') + "netmask 255.255.0.0";
    return line + QByteArray(200 - line.size(), ' ') + '\n';
}

} // namespace

class tst_Netconf : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void writeConfigExample();
    void readConfig_data();
    void readConfig();
    void checkConfig_data();
    void checkConfig();
    void unwritableFile_data();
    void unwritableFile();
    void checkIpGwMask_data();
    void checkIpGwMask();
    void checkAccessDisable();

private:
    QString file(const char *name) const { return m_dir->filePath(QString::fromLatin1(name)); }
    void setPath(const char **var, const QString &path, QByteArray &store);

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_interfaces, m_dst, m_disable, m_restart;
};

void tst_Netconf::setPath(const char **var, const QString &path, QByteArray &store)
{
    store = path.toLocal8Bit();
    *var = store.constData();
}

void tst_Netconf::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    setPath(&interfaces_path, file("interfaces"), m_interfaces);
    setPath(&dst_ip_path, file("vantrel_dst_ip"), m_dst);
    setPath(&disable_path, file("vantrel-ip-disable"), m_disable);
    setPath(&networking_restart_cmd, "echo restart >> '" + file("restarts") + "'", m_restart);
}

void tst_Netconf::writeConfigExample()
{
    const uint8_t address[4] = {10, 1, 2, 3}, netmask[4] = {255, 255, 0, 0};
    const uint8_t gateway[4] = {10, 1, 0, 1}, destination[4] = {192, 168, 0, 50};
    write_config(address, netmask, gateway, destination);

    QCOMPARE(readFile(file("interfaces")),
             QByteArray("auto lo\n"
                        "iface lo inet loopback\n"
                        "\n"
                        "auto eth0\n"
                        "iface eth0 inet static\n"
                        "        address 10.1.2.3\n"
                        "        netmask 255.255.0.0\n"
                        "        gateway 10.1.0.1\n"
                        "        \n"));
    QCOMPARE(readFile(file("vantrel_dst_ip")), QByteArray("192.168.0.50"));

    uint8_t m[4], g[4], d[4];
    QCOMPARE(read_config(m, g, d), 1);
    QCOMPARE(dotted(m), QString("255.255.0.0"));
    QCOMPARE(dotted(g), QString("10.1.0.1"));
    QCOMPARE(dotted(d), QString("192.168.0.50"));
}

void tst_Netconf::readConfig_data()
{
    QTest::addColumn<QByteArray>("interfaces"); // null: no file
    QTest::addColumn<QByteArray>("dst");        // null: no file
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("netmask");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("destination");

    const QByteArray none;
    const QByteArray stanza = "auto eth0\niface eth0 inet static\n";
    QTest::newRow("default, no destination file")
        << QByteArray(config_default) << none << 1 << "255.255.255.0" << "192.168.0.1" << "255.255.255.255";
    QTest::newRow("default, destination file")
        << QByteArray(config_default) << QByteArray("10.0.0.7") << 1 << "255.255.255.0" << "192.168.0.1" << "10.0.0.7";
    QTest::newRow("destination with line end")
        << QByteArray(config_default) << QByteArray("10.0.0.7\n") << 1 << "255.255.255.0" << "192.168.0.1" << "10.0.0.7";
    QTest::newRow("destination not dotted")
        << QByteArray(config_default) << QByteArray("10.0.0") << 1 << "255.255.255.0" << "192.168.0.1" << "255.255.255.255";
    QTest::newRow("no interfaces file")
        << none << QByteArray("10.0.0.7") << 0 << untouched << untouched << untouched;
    QTest::newRow("netmask before any iface line")
        << QByteArray("\tnetmask 255.0.0.0\n" + stanza + "\tgateway 10.0.0.1\n") << QByteArray("1.2.3.4")
        << 1 << untouched << "10.0.0.1" << "1.2.3.4";
    QTest::newRow("netmask in another stanza")
        << QByteArray(stanza + "\tgateway 10.0.0.1\niface wlan0 inet static\n\tnetmask 255.0.0.0\n")
        << QByteArray("1.2.3.4") << 1 << untouched << "10.0.0.1" << "1.2.3.4";
    QTest::newRow("only another interface, destination file")
        << QByteArray("iface wlan0 inet static\n\tnetmask 255.0.0.0\n\tgateway 10.0.0.1\n")
        << QByteArray("1.2.3.4") << 0 << untouched << untouched << "1.2.3.4";
    QTest::newRow("only another interface, no destination file")
        << QByteArray("iface wlan0 inet static\n\tnetmask 255.0.0.0\n\tgateway 10.0.0.1\n")
        << none << 1 << untouched << untouched << "255.255.255.255";
    QTest::newRow("inet dhcp stanza searched")
        << QByteArray("iface eth0 inet dhcp\n\tnetmask 255.255.0.0\n\tgateway 172.16.0.1\n")
        << QByteArray("1.2.3.4") << 1 << "255.255.0.0" << "172.16.0.1" << "1.2.3.4";
    QTest::newRow("unindented lines, no final line end")
        << QByteArray(stanza + "netmask 255.255.0.0\ngateway 172.16.0.1")
        << QByteArray("1.2.3.4") << 1 << "255.255.0.0" << "172.16.0.1" << "1.2.3.4";
    QTest::newRow("256 stored as 0")
        << QByteArray(stanza + "\tnetmask 256.255.255.0\n\tgateway 300.1.2.3\n")
        << QByteArray("1.2.3.4") << 1 << "0.255.255.0" << "44.1.2.3" << "1.2.3.4";
    QTest::newRow("200 characters split 127 + 73")
        << QByteArray(stanza + longLine(127)) << QByteArray("1.2.3.4") << 1 << "255.255.0.0" << untouched << "1.2.3.4";
    QTest::newRow("200 characters, netmask starting at 126")
        << QByteArray(stanza + longLine(126)) << QByteArray("1.2.3.4") << 0 << untouched << untouched << "1.2.3.4";
    QTest::newRow("200 characters, netmask starting at 128")
        << QByteArray(stanza + longLine(128)) << QByteArray("1.2.3.4") << 0 << untouched << untouched << "1.2.3.4";
    // The stanza name is taken with an unbounded %s: a very long iface line must stay in bounds.
    QTest::newRow("iface line of 300 characters")
        << QByteArray("iface " + QByteArray(294, 'e') + "\n\tnetmask 255.0.0.0\n") << QByteArray("1.2.3.4")
        << 0 << untouched << untouched << "1.2.3.4";
    QTest::newRow("empty interfaces file")
        << QByteArray("") << QByteArray("1.2.3.4") << 0 << untouched << untouched << "1.2.3.4";
}

void tst_Netconf::readConfig()
{
    QFETCH(QByteArray, interfaces);
    QFETCH(QByteArray, dst);
    if (!interfaces.isNull())
        writeFile(file("interfaces"), interfaces);
    if (!dst.isNull())
        writeFile(file("vantrel_dst_ip"), dst);

    uint8_t netmask[4], gateway[4], destination[4];
    memset(netmask, 170, 4);
    memset(gateway, 170, 4);
    memset(destination, 170, 4);
    QTEST(read_config(netmask, gateway, destination), "result");
    QTEST(dotted(netmask), "netmask");
    QTEST(dotted(gateway), "gateway");
    QTEST(dotted(destination), "destination");
}

void tst_Netconf::checkConfig_data()
{
    QTest::addColumn<QByteArray>("interfaces"); // null: no file
    QTest::addColumn<bool>("dstFile");
    QTest::addColumn<bool>("reset");

    const QByteArray noEth0 = "auto lo\niface lo inet loopback\n\niface eth0 inet static\n\taddress 10.0.0.2\n";
    QTest::newRow("no eth0 netmask or gateway, destination file") << noEth0 << true << true;
    QTest::newRow("no eth0 netmask or gateway, no destination file") << noEth0 << false << false;
    QTest::newRow("empty file, destination file") << QByteArray("") << true << true;
    QTest::newRow("no interfaces file") << QByteArray() << false << true;
    QTest::newRow("gateway only, destination file")
        << QByteArray("iface eth0 inet static\n\tgateway 10.0.0.1\n") << true << false;
}

void tst_Netconf::checkConfig()
{
    QFETCH(QByteArray, interfaces);
    QFETCH(bool, dstFile);
    QFETCH(bool, reset);
    if (!interfaces.isNull())
        writeFile(file("interfaces"), interfaces);
    if (dstFile)
        writeFile(file("vantrel_dst_ip"), "10.0.0.9");

    check_config();

    QCOMPARE(readFile(file("interfaces")), reset ? QByteArray(config_default) : interfaces);
    QCOMPARE(readFile(file("restarts")), reset ? QByteArray("restart\n") : QByteArray());
    if (dstFile)
        QCOMPARE(readFile(file("vantrel_dst_ip")), QByteArray("10.0.0.9"));
}

void tst_Netconf::unwritableFile_data()
{
    QTest::addColumn<QString>("broken"); // "interfaces" or "dst"
    QTest::addColumn<bool>("reset");     // config_reset instead of write_config
    QTest::newRow("write_config, interfaces") << "interfaces" << false;
    QTest::newRow("write_config, destination") << "dst" << false;
    QTest::newRow("config_reset, interfaces") << "interfaces" << true;
}

void tst_Netconf::unwritableFile()
{
    QFETCH(QString, broken);
    QFETCH(bool, reset);
    const QString missing = file("no-such-dir/file");
    if (broken == "interfaces")
        setPath(&interfaces_path, missing, m_interfaces);
    else
        setPath(&dst_ip_path, missing, m_dst);

    const uint8_t a[4] = {10, 1, 2, 3}, m[4] = {255, 255, 0, 0}, g[4] = {10, 1, 0, 1}, d[4] = {10, 1, 0, 50};
    const QByteArray err = captureStderr(file("stderr"), [&] {
        if (reset)
            config_reset();
        else
            write_config(a, m, g, d);
    });

    QVERIFY2(err.contains(missing.toLocal8Bit()), err.constData());
    QVERIFY(!QFile::exists(missing));
    if (reset) {
        QCOMPARE(readFile(file("restarts")), QByteArray("restart\n"));
    } else if (broken == "interfaces") {
        QCOMPARE(readFile(file("vantrel_dst_ip")), QByteArray("10.1.0.50"));
    } else {
        QVERIFY(readFile(file("interfaces")).contains("        gateway 10.1.0.1\n"));
    }
}

void tst_Netconf::checkIpGwMask_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QByteArray>("netmask");
    QTest::addColumn<QByteArray>("gateway");
    QTest::addColumn<int>("inside");
    auto ip = [](int a, int b, int c, int d) {
        const char v[4] = {char(a), char(b), char(c), char(d)};
        return QByteArray(v, 4);
    };
    QTest::newRow("same /24") << ip(192, 168, 1, 20) << ip(255, 255, 255, 0) << ip(192, 168, 1, 1) << 1;
    QTest::newRow("other /24") << ip(192, 168, 1, 20) << ip(255, 255, 255, 0) << ip(192, 168, 2, 1) << 0;
    QTest::newRow("first byte differs") << ip(10, 1, 2, 3) << ip(255, 255, 0, 0) << ip(11, 1, 0, 1) << 0;
    QTest::newRow("same /16") << ip(10, 1, 2, 3) << ip(255, 255, 0, 0) << ip(10, 1, 0, 1) << 1;
    QTest::newRow("/30 last byte") << ip(10, 0, 0, 5) << ip(255, 255, 255, 252) << ip(10, 0, 0, 9) << 0;
    QTest::newRow("netmask 0.0.0.0") << ip(10, 0, 0, 5) << ip(0, 0, 0, 0) << ip(172, 16, 0, 1) << 1;
}

void tst_Netconf::checkIpGwMask()
{
    QFETCH(QByteArray, address);
    QFETCH(QByteArray, netmask);
    QFETCH(QByteArray, gateway);
    const auto bytes = [](const QByteArray &b) { return reinterpret_cast<const uint8_t *>(b.constData()); };
    QTEST(check_ip_gw_mask(bytes(address), bytes(netmask), bytes(gateway)), "inside");
}

void tst_Netconf::checkAccessDisable()
{
    QCOMPARE(check_access_disable(), 0);
    writeFile(file("vantrel-ip-disable"), "");
    QCOMPARE(check_access_disable(), 1);
}

QTEST_APPLESS_MAIN(tst_Netconf)
#include "tst_netconf.moc"
