#ifndef MCU_SIM_H
#define MCU_SIM_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class QSocketNotifier;

// The I/O controller's end of the serial line: acknowledges every frame, answers the
// version and input-state requests, records output commands and reports input changes.
// It never waits for acknowledgements itself, as the controller does not.
class mcu_sim : public QObject
{
    Q_OBJECT
public:
    mcu_sim(int fd, QString version, QObject *parent = nullptr);

    QList<int> inputs() const { return gpi; }
    void set_inputs(QList<int> states);
    void toggle_input(int number);
    void set_version(QString text) { version = text; }
    void set_ack(bool on) { ack = on; }
    // Framed as a controller message.
    void send_message(QByteArray message);
    // Written to the line exactly as given, for garbage and hand-made frames.
    void send_raw(QByteArray bytes);

private slots:
    void line_readable();
    void line_writable();

private:
    void cut_frames();
    void handle_message(QByteArray message);
    void send_version_report();
    void send_input_report();
    void flush_out();

    int fd;
    QString version;
    bool ack = true;
    QList<int> gpi;
    QByteArray rx_buffer;
    QByteArray tx_buffer;
    QSocketNotifier *read_notifier;
    QSocketNotifier *write_notifier;
    // A pty master reads as hung up while nobody holds the other end; look again later.
    QTimer reopen_timer;
};

#endif
