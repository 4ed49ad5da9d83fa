#ifndef RX_7391_H
#define RX_7391_H

#include <QByteArray>

// Cuts the controller line's byte stream into frames and decodes them. Holds no port: the
// transport appends what it reads and pulls the messages out.
class Rx7391
{
public:
    // No frame of the message set comes near this; a longer run without a frame is noise.
    static const int BUFFER_MAX = 4096;

    void append(const QByteArray &bytes);
    // The next decoded, non-empty message, in the order of the stream. False when more bytes
    // are needed; the buffer then holds at most BUFFER_MAX bytes, however much was appended.
    bool next(QByteArray *message);
    int buffered() const { return buffer.size(); }
    // Bytes thrown away because they ran past the limit without a frame, since the last
    // call; the transport logs them (summarised while a flood lasts).
    int take_dropped();

private:
    int pass(QByteArray *message);
    int shed_garbage();
    void shed_overflow();

    QByteArray buffer;
    int dropped = 0;
};

#endif
