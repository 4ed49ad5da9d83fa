#ifndef WRITE_THROUGH_H
#define WRITE_THROUGH_H

#include <QByteArray>
#include <QIODevice>

// Qt writes a buffered socket or serial port only on the next turn of the event loop, after
// everything else of this turn: a state change for the link or the controller would wait
// behind the broadcast to every web client that the same change starts. When nothing waits
// in the device's own buffer, this writes what the kernel takes at once and leaves only the
// rest to the device, so the order of bytes is kept.
//
// A write that fails here is not reported: the bytes go to the device's buffer, and the
// device meets the same failure on its own path. So a socket is never closed from inside the
// caller, whose records of the connection stay valid.
enum class FdKind { Socket, Tty };

void write_through(QIODevice &device, qintptr fd, FdKind kind, const QByteArray &data);

#endif
