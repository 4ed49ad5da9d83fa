#ifndef REPEAT_LOG_H
#define REPEAT_LOG_H

#include <QString>
#include <QTimer>

// Keeps a log line that can come once per frame or packet from growing the log without bound
// while a peer floods the unit. The call site asks pass() before it logs its line:
//
//     if (frame_log.pass())
//         qDebug() << "type:" << type;
//
// The first lines of a window go to the log with their exact text; further ones within the
// window are only counted, and when the window ends a single line tells how many there were:
// "type: ... repeated 5120 times". A window that had to summarise is followed by one twice as
// long (up to a limit), so a flood that lasts hours still writes only a few lines a minute,
// while a quiet period brings the window back to its first length. A site that logs less
// often than its burst per window logs exactly as without this class.
class RepeatLog
{
public:
    // Lines of a window that go to the log as they are, unless a site asks for another number.
    static constexpr int BURST = 10;

    // label: the fixed start of the site's line, named in the summary.
    explicit RepeatLog(QString label, int burst = BURST, int window_ms = 1000,
                       int max_window_ms = 60000);
    // A summary still pending goes to the log.
    ~RepeatLog();

    RepeatLog(const RepeatLog &) = delete;
    RepeatLog &operator=(const RepeatLog &) = delete;

    // Whether the line may be logged now.
    bool pass();

private:
    void end_window();

    const QString label;
    const int burst;
    const int first_window_ms;
    const int max_window_ms;
    int window_ms;
    int passed = 0;
    qint64 repeated = 0;
    QTimer window;
};

#endif
