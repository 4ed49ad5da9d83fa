#ifndef PSEUDOTERMINAL_H
#define PSEUDOTERMINAL_H

#include <QByteArray>
#include <QString>

// A raw pseudo-terminal pair for tests: the code under test opens slavePath() as its
// serial device, the test plays the far end on the master.
class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    void write(const QByteArray &data);
    // Everything the far end has received so far, without waiting.
    QByteArray readAvailable();
    // Reads until at least count bytes arrived or timeoutMs passed, running the Qt event
    // loop meanwhile so the code under test can work.
    QByteArray read(int count, int timeoutMs = 3000);

private:
    int m_master = -1;
    int m_slave = -1; // kept open so the master never sees a hang-up
    QString m_slavePath;
};

#endif
