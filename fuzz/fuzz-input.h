#ifndef FUZZ_INPUT_H
#define FUZZ_INPUT_H

// What every target shares: the reads a receiver sees, cut from one fuzzer input, and a quiet
// log, so that the fuzzer's time goes to the parsers rather than to printing.

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Each read is one length byte followed by that many bytes (fewer at the end of the input), so
// the fuzzer chooses the segmentation along with the bytes. A length byte of 0 is an empty read.
inline QList<QByteArray> fuzz_reads(const uint8_t *data, size_t size)
{
    QList<QByteArray> reads;
    size_t pos = 0;
    while (pos < size) {
        const size_t n = qMin<size_t>(data[pos], size - pos - 1);
        reads.append(QByteArray(reinterpret_cast<const char *>(data + pos + 1), int(n)));
        pos += 1 + n;
    }
    return reads;
}

inline QByteArray fuzz_bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// The parsers log through Qt's debug channel and a few C readers print to stdout; libFuzzer
// reports on stderr, which stays.
inline void fuzz_quiet()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
}

// A broken property is a finding: abort with the reason, so libFuzzer saves the input.
#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);  \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

#endif
