#include "rx-7391.h"


#include "codec-7391.h"

namespace {
const char MARKER_START = 0x05;
const char MARKER_END = 0x06;
// Shortest buffer that can hold a frame: two markers, length, check.
const int MIN_FRAME = 8;
} // namespace

void Rx7391::append(const QByteArray &bytes)
{
    buffer.append(bytes);
}

bool Rx7391::next(QByteArray *message)
{
    while (pass(message)) {
        if (!message->isEmpty())
            return true;
    }
    shed_overflow();
    return false;
}

// One pass over the front of the buffer. Returns 1 when bytes were consumed (and a decoded
// message, possibly empty, put in message) and another pass may find more, 0 when more
// bytes are needed.
int Rx7391::pass(QByteArray *message)
{
    message->clear();
    if (buffer.size() < MIN_FRAME)
        return 0;
    if (buffer.at(0) != MARKER_START || buffer.at(1) != MARKER_START)
        return shed_garbage();

    // Markers never occur inside a frame (stuffing keeps them out), so the last start
    // marker before the first end marker is where the frame really begins; anything
    // before it is a truncated frame.
    int start = 0;
    for (int i = 1; i + 1 < buffer.size(); ++i) {
        const char a = buffer.at(i);
        const char b = buffer.at(i + 1);
        if (a == MARKER_END && b == MARKER_END) {
            const QByteArray frame = buffer.mid(start, i + 2 - start);
            buffer.remove(0, i + 2);
            message->resize(frame.size());
            message->resize(decode_7391(frame.constData(), message->data(), frame.size()));
            return 1;
        }
        if (a == MARKER_START && b == MARKER_START)
            start = i;
    }
    if (start == 0)
        return 0;
    buffer.remove(0, start);
    return 1;
}

// Bytes in front of a start marker belong to no frame: drop them all at once, so a good
// frame behind them is not held back until further bytes arrive.
int Rx7391::take_dropped()
{
    const int n = dropped;
    dropped = 0;
    return n;
}

int Rx7391::shed_garbage()
{
    int next = buffer.indexOf(QByteArray(2, MARKER_START), 1);
    if (next < 0)
        next = buffer.endsWith(MARKER_START) ? buffer.size() - 1 : buffer.size();
    buffer.remove(0, next);
    return 1;
}

// After the passes the buffer holds at most one started frame. One longer than the
// limit cannot be a frame of this line; keep only its last byte, which may begin a marker.
void Rx7391::shed_overflow()
{
    if (buffer.size() <= BUFFER_MAX)
        return;
    dropped += buffer.size() - 1;
    buffer.remove(0, buffer.size() - 1);
}
