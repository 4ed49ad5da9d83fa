#include "write-through.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bytes the kernel took without waiting; 0 when it took none or failed.
qint64 write_now(qintptr fd, FdKind kind, const char *data, qint64 size)
{
    ssize_t n;
    do {
        // A socket whose peer is gone must not raise SIGPIPE in a program that kept it.
        n = kind == FdKind::Socket ? ::send(int(fd), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT)
                                   : ::write(int(fd), data, size_t(size));
    } while (n < 0 && errno == EINTR);
    return n > 0 ? qint64(n) : 0;
}

} // namespace

void write_through(QIODevice &device, qintptr fd, FdKind kind, const QByteArray &data)
{
    if (data.isEmpty() || !device.isOpen())
        return;
    qint64 done = 0;
    if (fd >= 0 && device.bytesToWrite() == 0)
        done = write_now(fd, kind, data.constData(), data.size());
    if (done < data.size())
        device.write(data.constData() + done, data.size() - done);
}
