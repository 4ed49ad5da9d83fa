#include "panel-stream.h"

#include "vgpi_api.h"

QByteArray Panel_stream::handshake()
{
    static const char bytes[8] = { 'P', 'E', 'R', 'P', 0x00, 0x01, 0x00, 0x00 };
    return QByteArray(bytes, sizeof(bytes));
}

Panel_stream::Step Panel_stream::receive(const QByteArray &chunk, Vgpi_api &parser)
{
    if (!awaiting_handshake) {
        parser.parse_frame(chunk);
        return FRAMES;
    }
    awaiting_handshake = false;
    // The owner logs a refusal: it knows whether a crowd of them is being summarised.
    return chunk == handshake() ? GREETED : REFUSED;
}
