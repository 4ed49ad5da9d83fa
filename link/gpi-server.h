#ifndef GPI_SERVER_H
#define GPI_SERVER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

class QTcpServer;

// Listening end of the unit link (TCP port 11010).
class Gpi_server : public QObject
{
    Q_OBJECT
public:
    explicit Gpi_server(quint16 port = 11010);
    ~Gpi_server() override;

    void enable(int on);
    int status();
    void send_gpi(QList<int> gpi);
    void send_serial(QByteArray data);

signals:
    void cmd_serial(QByteArray data);
    void cmd_gpo(QList<int> gpo);
    void refresh();

private:
    int enabled = 0;
    QTcpServer *server = nullptr;
    QTimer timer;
};

#endif
