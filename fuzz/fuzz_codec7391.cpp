// The controller line: one frame decoded as the codec sees it, the same bytes cut into reads
// as the transport's receive buffer sees them, and the input as a message encoded and read back.

#include "codec-7391.h"
#include "fuzz-input.h"
#include "rx-7391.h"

#include <vector>

namespace {

QList<QByteArray> receive(const QList<QByteArray> &reads)
{
    Rx7391 rx;
    QList<QByteArray> messages;
    QByteArray message;
    for (const QByteArray &read : reads) {
        rx.append(read);
        while (rx.next(&message))
            messages.append(message);
        FUZZ_CHECK(rx.buffered() <= Rx7391::BUFFER_MAX);
    }
    return messages;
}

// Exactly the room the codec promises to need, so that one byte more is caught.
void decode_whole(const QByteArray &frame)
{
    std::vector<char> out(size_t(qMax(frame.size() - 8, 0)));
    const int n = decode_7391(frame.constData(), out.data(), frame.size());
    FUZZ_CHECK(n >= 0 && n <= qMax(frame.size() - 8, 0));
    if (frame.size() >= 4)
        FUZZ_CHECK(get_payload_len_7391(frame.constData()) < 0x4000);
}

void round_trip(const QByteArray &message)
{
    std::vector<char> frame(size_t(2 * message.size() + 8));
    const int len = encode_7391(message.constData(), message.size(), frame.data());
    FUZZ_CHECK(len >= message.size() + 8 && len <= int(frame.size()));
    const QByteArray encoded(frame.data(), len);
    FUZZ_CHECK(get_payload_len_7391(encoded.constData()) == (message.size() & 0x3FFF));
    std::vector<char> out(size_t(len - 8));
    const int n = decode_7391(encoded.constData(), out.data(), len);
    FUZZ_CHECK(QByteArray(out.data(), n) == message);
    // A frame is found wherever the reads cut it, also behind a partial one.
    const QByteArray stream = encoded.left(len / 2) + encoded + encoded;
    QList<QByteArray> reads;
    for (int pos = 0, step = 1; pos < stream.size(); pos += step, step = step % 7 + 1)
        reads.append(stream.mid(pos, step));
    // An empty message gives nothing; frames of a third of the buffer fit three at a time.
    const QList<QByteArray> expected =
            message.isEmpty() ? QList<QByteArray>() : QList<QByteArray>() << message << message;
    if (len <= Rx7391::BUFFER_MAX / 3)
        FUZZ_CHECK(receive(reads) == expected);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzz_bytes(data, size);
    decode_whole(bytes);
    // Below the buffer's bound, where the cut is no reason to drop anything, the reads give
    // the same messages as the whole stream at once.
    const QList<QByteArray> reads = fuzz_reads(data, size);
    const QList<QByteArray> messages = receive(reads);
    QByteArray stream;
    for (const QByteArray &read : reads)
        stream += read;
    if (stream.size() <= Rx7391::BUFFER_MAX)
        FUZZ_CHECK(receive(QList<QByteArray>() << stream) == messages);
    round_trip(bytes);
    return 0;
}
