#include "repeat-log.h"

#include <QDebug>

#include <algorithm>

RepeatLog::RepeatLog(QString label, int burst, int window_ms, int max_window_ms)
    : label(std::move(label)),
      burst(std::max(burst, 1)),
      first_window_ms(window_ms),
      max_window_ms(std::max(max_window_ms, window_ms)),
      window_ms(window_ms)
{
    window.setSingleShot(true);
    QObject::connect(&window, &QTimer::timeout, [this] { end_window(); });
}

RepeatLog::~RepeatLog()
{
    if (repeated > 0)
        qDebug().noquote() << label << "... repeated" << repeated << "times";
}

bool RepeatLog::pass()
{
    if (!window.isActive())
        window.start(window_ms);
    if (passed < burst) {
        ++passed;
        return true;
    }
    ++repeated;
    return false;
}

void RepeatLog::end_window()
{
    if (repeated > 0) {
        qDebug().noquote() << label << "... repeated" << repeated << "times";
        window_ms = std::min(window_ms * 2, max_window_ms);
    } else {
        window_ms = first_window_ms;
    }
    passed = 0;
    repeated = 0;
}
