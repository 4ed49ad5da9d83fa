#ifndef PANEL_STREAM_H
#define PANEL_STREAM_H

#include <QByteArray>

class Vgpi_api;

// What one panel connection's reads mean, apart from its socket. The whole first read must be
// the panel handshake: a reply split over two reads, or followed by frames in the same read,
// is refused. Every later read is parsed into frames on its own.
class Panel_stream
{
public:
    enum Step { GREETED, REFUSED, FRAMES };

    // The panel handshake "PERP" 00 01 00 00, sent to a new panel and expected back.
    static QByteArray handshake();

    // Takes one read. After the handshake the parser signals each frame of the read, in order.
    Step receive(const QByteArray &chunk, Vgpi_api &parser);

private:
    bool awaiting_handshake = true;
};

#endif
