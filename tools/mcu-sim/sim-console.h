#ifndef SIM_CONSOLE_H
#define SIM_CONSOLE_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;
class mcu_sim;

// Standard input of the simulator. On a terminal, keys 1 to 8 toggle the inputs and q
// quits (the terminal is put back on exit); otherwise one command a line, for scripts.
class sim_console : public QObject
{
    Q_OBJECT
public:
    explicit sim_console(mcu_sim *sim, QObject *parent = nullptr);
    ~sim_console() override;

private slots:
    void stdin_readable();

private:
    void handle_key(char key);
    void handle_line(const QString &line);

    mcu_sim *sim;
    bool interactive;
    QByteArray pending;
    QSocketNotifier *notifier;
};

#endif
