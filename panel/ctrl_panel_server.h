#ifndef CTRL_PANEL_SERVER_H
#define CTRL_PANEL_SERVER_H

#include <QObject>

// The control-panel protocol on one TCP port.
class Ctrl_panel_server : public QObject
{
    Q_OBJECT
public:
    explicit Ctrl_panel_server(int port);
    ~Ctrl_panel_server() override;

    void send_data(int a, int b, int c, int d, int e);
    int connection_status();

signals:
    void panel_cmd(int type, int data);
};

#endif
