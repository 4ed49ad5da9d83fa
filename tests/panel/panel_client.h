// A stand-in control panel for tests: a plain TCP client driven by the test's event loop (the
// server under test runs in the same thread, so nothing here blocks).
#ifndef PANEL_CLIENT_H
#define PANEL_CLIENT_H

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace panel_test {

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

inline const QByteArray &panel_handshake()
{
    static const QByteArray h = hex("5045525000010000");
    return h;
}

// A port that was free a moment ago.
inline int free_port()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

class PanelClient
{
public:
    bool open(int port)
    {
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; },
                               5000);
    }

    // Waits until n bytes are there and takes exactly those.
    QByteArray take(int n, int timeout_ms = 5000)
    {
        if (!QTest::qWaitFor([&] { return socket.bytesAvailable() >= n; }, timeout_ms))
            return socket.readAll();
        return socket.read(n);
    }

    // Opens the connection and answers the handshake; the five LED frames are taken as well.
    bool greet(int port)
    {
        if (!open(port) || take(8) != panel_handshake())
            return false;
        send(panel_handshake());
        return take(55).size() == 55;
    }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }

    bool wait_closed(int timeout_ms = 5000)
    {
        return QTest::qWaitFor(
            [&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeout_ms);
    }

    QTcpSocket socket;
};

} // namespace panel_test

#endif
