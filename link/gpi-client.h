#ifndef GPI_CLIENT_H
#define GPI_CLIENT_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

// Connecting end of the unit link.
class Gpi_client : public QObject
{
    Q_OBJECT
public:
    explicit Gpi_client(quint16 port = 11010);
    ~Gpi_client() override;

    void enable(int on);
    void set_dst(QString dst);
    int status();
    void send_gpo(QList<int> gpo);
    void send_serial(QByteArray data);

signals:
    void cmd_serial(QByteArray data);
    void cmd_gpi(QList<int> gpi);
    void refresh();

private:
    int enabled = 0;
    QString dst;
    QTimer timer;
    QTimer keepalive_timer;
    QTcpSocket socket;
};

#endif
