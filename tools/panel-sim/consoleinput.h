#ifndef CONSOLEINPUT_H
#define CONSOLEINPUT_H

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>

// Standard input of panel-sim: single keys from a terminal (put in raw mode until the program
// ends), or text lines from a pipe.
class ConsoleInput : public QObject
{
    Q_OBJECT
public:
    explicit ConsoleInput(QObject *parent = nullptr);
    ~ConsoleInput() override;

    bool is_terminal() const { return terminal; }

signals:
    void key(char c);
    void line(QString text);
    void end_of_input();

private slots:
    void on_readable();

private:
    void enter_raw_mode();

    bool terminal;
    QSocketNotifier notifier;
    QByteArray pending;
};

#endif
