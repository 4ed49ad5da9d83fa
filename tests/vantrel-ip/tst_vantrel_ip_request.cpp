#include "vantrel-ip-request.h"

#include <QtTest>

namespace {
const QByteArray OWN_MAC = QByteArray::fromHex("001122334455");
// This unit's record: MAC, address, gateway, netmask, destination.
const QByteArray OWN = OWN_MAC + QByteArray::fromHex("c0a800d1c0a80001ffffff00ffffffff");
const QByteArray SETTINGS = QByteArray::fromHex("0a0102030a010001ffff00000a01ffff");

const unsigned char *bytes(const QByteArray &a)
{
    return reinterpret_cast<const unsigned char *>(a.constData());
}
} // namespace

class tst_Vantrel_ip_request : public QObject
{
    Q_OBJECT
private slots:
    void request_data();
    void request();
};

void tst_Vantrel_ip_request::request_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<int>("action");
    const QByteArray zero(22, '\0');
    const QByteArray set = '\x02' + OWN_MAC + SETTINGS;
    QTest::newRow("discovery") << '\x02' + zero << true << zero << int(VANTREL_ANNOUNCE);
    QTest::newRow("discovery, command byte only") << QByteArray(1, '\x02') << true << zero
                                                  << int(VANTREL_ANNOUNCE);
    QTest::newRow("set address") << set << true << OWN_MAC + SETTINGS << int(VANTREL_SET_ADDRESS);
    QTest::newRow("set address, 7 bytes after the record")
        << set + QByteArray(7, '\x7f') << true << OWN_MAC + SETTINGS << int(VANTREL_SET_ADDRESS);
    QTest::newRow("set address cut short, rest read as 0")
        << set.left(11) << true << OWN_MAC + SETTINGS.left(4) + QByteArray(12, '\0')
        << int(VANTREL_SET_ADDRESS);
    QTest::newRow("other unit") << '\x02' + QByteArray::fromHex("001122334456") + SETTINGS << true
                                << QByteArray::fromHex("001122334456") + SETTINGS
                                << int(VANTREL_IGNORE);
    QTest::newRow("MAC cut short") << set.left(6) << true
                                   << OWN_MAC.left(5) + QByteArray(17, '\0') << int(VANTREL_IGNORE);
    QTest::newRow("one byte over the longest request") << set + QByteArray(8, '\0') << false
                                                       << QByteArray() << 0;
    QTest::newRow("other command") << '\x01' + zero << false << QByteArray() << 0;
    QTest::newRow("announcement of the unit itself") << '\x02' + OWN << true << OWN
                                                     << int(VANTREL_SET_ADDRESS);
    QTest::newRow("empty") << QByteArray() << false << QByteArray() << 0;
}

void tst_Vantrel_ip_request::request()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, record);
    QFETCH(int, action);
    QByteArray request(VANTREL_RECORD_LEN, '\xAA');
    const int got = vantrel_read_request(bytes(datagram), size_t(datagram.size()),
                                         reinterpret_cast<unsigned char *>(request.data()));
    QCOMPARE(got == 1, accepted);
    if (!accepted)
        return;
    QCOMPARE(request.toHex(), record.toHex());
    QCOMPARE(vantrel_request_action(bytes(request), bytes(OWN)), action);
}

QTEST_GUILESS_MAIN(tst_Vantrel_ip_request)
#include "tst_vantrel_ip_request.moc"
