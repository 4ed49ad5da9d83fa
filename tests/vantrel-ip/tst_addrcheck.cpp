#include "addrcheck.h"

#include <QHostAddress>
#include <QtTest>

namespace {

// Network-order bytes of a dotted address, as the C functions take them.
QByteArray bytes(const char *dotted)
{
    const quint32 v = QHostAddress(QString::fromLatin1(dotted)).toIPv4Address();
    return QByteArray(1, char(v >> 24)) + char(v >> 16) + char(v >> 8) + char(v);
}

const uint8_t *raw(const QByteArray &b)
{
    return reinterpret_cast<const uint8_t *>(b.constData());
}

} // namespace

class tst_AddrCheck : public QObject
{
    Q_OBJECT

private slots:
    void addressAssignable_data();
    void addressAssignable();
    void netmaskContiguous_data();
    void netmaskContiguous();
    void everyPrefixLengthIsContiguous();
};

void tst_AddrCheck::addressAssignable_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<bool>("usable");
    QTest::newRow("factory address") << bytes("192.168.0.209") << true;
    QTest::newRow("0.0.0.0") << bytes("0.0.0.0") << false;
    QTest::newRow("0.0.0.1 (not the unspecified address)") << bytes("0.0.0.1") << true;
    QTest::newRow("limited broadcast") << bytes("255.255.255.255") << false;
    QTest::newRow("255.255.255.254") << bytes("255.255.255.254") << true;
    QTest::newRow("first multicast") << bytes("224.0.0.0") << false;
    QTest::newRow("last multicast") << bytes("239.255.255.255") << false;
    QTest::newRow("below multicast") << bytes("223.255.255.255") << true;
    QTest::newRow("above multicast") << bytes("240.0.0.1") << true;
    QTest::newRow("loopback") << bytes("127.0.0.1") << false;
    QTest::newRow("loopback net end") << bytes("127.255.255.254") << false;
    QTest::newRow("126.255.255.255") << bytes("126.255.255.255") << true;
    QTest::newRow("128.0.0.0") << bytes("128.0.0.0") << true;
}

void tst_AddrCheck::addressAssignable()
{
    QFETCH(QByteArray, address);
    QFETCH(bool, usable);
    QCOMPARE(address_assignable(raw(address)) != 0, usable);
}

void tst_AddrCheck::netmaskContiguous_data()
{
    QTest::addColumn<QByteArray>("netmask");
    QTest::addColumn<bool>("contiguous");
    QTest::newRow("/24") << bytes("255.255.255.0") << true;
    QTest::newRow("/0") << bytes("0.0.0.0") << true;
    QTest::newRow("/32") << bytes("255.255.255.255") << true;
    QTest::newRow("hole in the middle") << bytes("255.0.255.0") << false;
    QTest::newRow("ones at the end only") << bytes("0.0.0.255") << false;
    QTest::newRow("one stray host bit") << bytes("255.255.255.1") << false;
    QTest::newRow("reversed /23") << bytes("255.255.254.255") << false;
    QTest::newRow("bit order inside a byte") << bytes("255.255.127.0") << false;
    QTest::newRow("byte order") << bytes("0.255.255.255") << false;
}

void tst_AddrCheck::netmaskContiguous()
{
    QFETCH(QByteArray, netmask);
    QFETCH(bool, contiguous);
    QCOMPARE(netmask_contiguous(raw(netmask)) != 0, contiguous);
}

void tst_AddrCheck::everyPrefixLengthIsContiguous()
{
    for (int prefix = 0; prefix <= 32; ++prefix) {
        const quint32 mask = prefix ? ~quint32(0) << (32 - prefix) : 0;
        const uint8_t b[4] = {uint8_t(mask >> 24), uint8_t(mask >> 16), uint8_t(mask >> 8),
                              uint8_t(mask)};
        QVERIFY2(netmask_contiguous(b), qPrintable(QString::number(prefix)));
        // The same mask with its lowest one bit moved down by one is no longer contiguous.
        if (prefix >= 1 && prefix <= 31) {
            const quint32 moved = mask ^ (quint32(3) << (32 - prefix - 1));
            const uint8_t m[4] = {uint8_t(moved >> 24), uint8_t(moved >> 16),
                                  uint8_t(moved >> 8), uint8_t(moved)};
            QVERIFY2(!netmask_contiguous(m), qPrintable(QString::number(prefix)));
        }
    }
}

QTEST_APPLESS_MAIN(tst_AddrCheck)
#include "tst_addrcheck.moc"
