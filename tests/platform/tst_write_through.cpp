// Writes that leave at once, on a pseudo-terminal and on a TCP socket.
#include <QSerialPort>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include <sys/socket.h>
#include <unistd.h>

#include "pseudoterminal.h"
#include "write-through.h"

namespace {

// The device under test and the far end, which the test reads without running the event
// loop: what it finds there left during the call.
class Line
{
public:
    explicit Line(FdKind kind) : kind(kind)
    {
        if (kind == FdKind::Tty) {
            pty = std::make_unique<PseudoTerminal>();
            port = std::make_unique<QSerialPort>(pty->slavePath());
            port->open(QIODevice::ReadWrite);
            return;
        }
        server.listen(QHostAddress::LocalHost);
        socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (socket->waitForConnected(3000) && server.waitForNewConnection(3000))
            far.reset(server.nextPendingConnection());
    }

    bool ready() const { return kind == FdKind::Tty ? port->isOpen() : far != nullptr; }
    QIODevice &device() { return port ? static_cast<QIODevice &>(*port) : *socket; }
    qintptr fd() const { return port ? port->handle() : socket->socketDescriptor(); }

    void write_through(const QByteArray &data) { ::write_through(device(), fd(), kind, data); }

    // What reached the far end within a moment, read past Qt.
    QByteArray far_bytes(int wait_ms = 50)
    {
        QThread::msleep(wait_ms);
        if (pty)
            return pty->readAvailable();
        // Once the event loop ran, the far socket may have read the bytes itself.
        QByteArray got(65536, '\0');
        const ssize_t n = ::recv(int(far->socketDescriptor()), got.data(), size_t(got.size()),
                                 MSG_DONTWAIT);
        got.resize(n > 0 ? int(n) : 0);
        return far->readAll() + got;
    }

    const FdKind kind;
    std::unique_ptr<PseudoTerminal> pty;
    std::unique_ptr<QSerialPort> port;
    QTcpServer server;
    std::unique_ptr<QTcpSocket> socket;
    std::unique_ptr<QTcpSocket> far;
};

} // namespace

Q_DECLARE_METATYPE(FdKind)

class tst_write_through : public QObject
{
    Q_OBJECT

private slots:
    void idle_device_writes_at_once_data();
    void idle_device_writes_at_once();
    void queued_bytes_keep_their_order_data();
    void queued_bytes_keep_their_order();
    void reset_peer_is_met_on_the_sockets_own_path();
};

static void kinds()
{
    QTest::addColumn<FdKind>("kind");
    QTest::newRow("pseudo-terminal") << FdKind::Tty;
    QTest::newRow("tcp socket") << FdKind::Socket;
}

void tst_write_through::idle_device_writes_at_once_data()
{
    kinds();
}

void tst_write_through::idle_device_writes_at_once()
{
    QFETCH(FdKind, kind);
    Line line(kind);
    QVERIFY(line.ready());
    line.write_through("state change");
    QCOMPARE(line.device().bytesToWrite(), qint64(0));
    QCOMPARE(line.far_bytes(), QByteArray("state change"));
    line.write_through(QByteArray());
    QCOMPARE(line.far_bytes(), QByteArray());
}

// Bytes the device still holds go first: later ones queue behind them.
void tst_write_through::queued_bytes_keep_their_order_data()
{
    kinds();
}

void tst_write_through::queued_bytes_keep_their_order()
{
    QFETCH(FdKind, kind);
    Line line(kind);
    QVERIFY(line.ready());
    line.device().write("first ");
    line.write_through("second");
    QCOMPARE(line.far_bytes(), QByteArray());
    QCOMPARE(line.device().bytesToWrite(), qint64(12));
    QByteArray got;
    QTRY_COMPARE(got += line.far_bytes(0), QByteArray("first second"));
}

// A failed write neither raises SIGPIPE nor closes the socket inside the call, where the
// caller may still be using its record of the connection; the socket finds out by itself.
void tst_write_through::reset_peer_is_met_on_the_sockets_own_path()
{
    Line line(FdKind::Socket);
    QVERIFY(line.ready());
    QSignalSpy gone(line.socket.get(), &QTcpSocket::disconnected);
    const linger reset { 1, 0 };
    ::setsockopt(int(line.far->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    line.far->abort();
    QThread::msleep(50);
    for (int i = 0; i < 3; ++i)
        line.write_through("into the void");
    QCOMPARE(gone.count(), 0);
    QCOMPARE(line.socket->state(), QAbstractSocket::ConnectedState);
    QTRY_COMPARE(gone.count(), 1);
}

QTEST_MAIN(tst_write_through)
#include "tst_write_through.moc"
