// One panel connection's reads, cut as the input says: the handshake check on the first read,
// then each read parsed into frames. The whole input is also parsed as one chunk, and frames
// built by the panel frame builders must be parsed back into what they carry.

#include <QObject>

#include "fuzz-input.h"
#include "panel-stream.h"
#include "vgpi_api.h"

namespace {

struct frame_t
{
    int type, type_specific, value;
    bool operator==(const frame_t &o) const
    {
        return type == o.type && type_specific == o.type_specific && value == o.value;
    }
};

Vgpi_api *parser;
QList<frame_t> *frames;

QList<frame_t> parse(const QByteArray &chunk)
{
    QList<frame_t> got;
    frames = &got;
    parser->parse_frame(chunk);
    frames = nullptr;
    for (const frame_t &f : got) {
        FUZZ_CHECK(f.type >= 0 && f.type <= 255);
        FUZZ_CHECK(f.type_specific >= 0 && f.type_specific <= 65535);
    }
    return got;
}

void connection(const QList<QByteArray> &reads)
{
    Panel_stream stream;
    QList<frame_t> got;
    frames = &got;
    for (int i = 0; i < reads.size(); ++i) {
        const Panel_stream::Step step = stream.receive(reads[i], *parser);
        if (i == 0) {
            FUZZ_CHECK(step == (reads[0] == Panel_stream::handshake() ? Panel_stream::GREETED
                                                                     : Panel_stream::REFUSED));
            if (step == Panel_stream::REFUSED)
                break; // the connection is closed
            FUZZ_CHECK(got.isEmpty());
        } else {
            FUZZ_CHECK(step == Panel_stream::FRAMES);
        }
    }
    frames = nullptr;
}

// Frames from the builders, with type specific fields and values from the input, in one chunk.
void round_trip(const QByteArray &bytes)
{
    QByteArray chunk;
    QList<frame_t> expected;
    for (int pos = 0; pos + 4 < bytes.size(); pos += 5) {
        const int kind = quint8(bytes.at(pos)) % 3;
        const int type_specific = (quint8(bytes.at(pos + 1)) << 8) | quint8(bytes.at(pos + 2));
        const int value = (quint8(bytes.at(pos + 3)) << 8) | quint8(bytes.at(pos + 4));
        if (kind == 0)
            chunk += parser->vgpi_frame_get(type_specific, value);
        else if (kind == 1)
            chunk += parser->vgpi_frame_get_answer(type_specific, value);
        else
            chunk += parser->vgpi_frame_uint16(type_specific, value);
        expected.append({ kind, type_specific, value });
    }
    FUZZ_CHECK(parse(chunk) == expected);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet();
    parser = new Vgpi_api;
    QObject::connect(parser, &Vgpi_api::signal_parse_frame, [](int type, int ts, int value) {
        FUZZ_CHECK(frames);
        frames->append({ type, ts, value });
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    connection(fuzz_reads(data, size));
    parse(fuzz_bytes(data, size));
    round_trip(fuzz_bytes(data, size));
    return 0;
}
