#include "link-packet.h"


#include <cstdlib>

#include "monotonic.h"
#include "vgpi-api.h"

namespace {
constexpr int kStates = 8;
constexpr int kBufferSize = 1024;
// The largest packet any sender can build: header, binary item head, 16-bit count of data.
constexpr unsigned int kMaxPacketSize = LINK_HEADER_SIZE + 3 + 65535;

const unsigned char *bytes(const QByteArray &a)
{
    return reinterpret_cast<const unsigned char *>(a.constData());
}

QByteArray finish(unsigned char *buf, int type, int items_len)
{
    const int size = LINK_HEADER_SIZE + items_len;
    vgpi_set_packet_type(buf, type);
    vgpi_set_type_specific(buf, 0);
    vgpi_set_packet_size(buf, unsigned(size));
    vgpi_write_uint8_raw(buf + 4, 0);
    return QByteArray(reinterpret_cast<const char *>(buf), size);
}
} // namespace

QByteArray link_states_packet(int type, const QList<int> &states)
{
    unsigned char buf[kBufferSize];
    int len = 0;
    // A shorter list than eight sends 0 for the missing states rather than reading past it.
    for (int k = 0; k < kStates; ++k)
        len += vgpi_write_int32(buf + LINK_HEADER_SIZE + len, states.value(k, 0));
    return finish(buf, type, len);
}

QList<QByteArray> link_serial_packets(const QByteArray &data)
{
    QList<QByteArray> packets;
    int pos = 0;
    do {
        const QByteArray part = data.mid(pos, LINK_SERIAL_CHUNK);
        unsigned char buf[kBufferSize];
        const int len = vgpi_write_binary(buf + LINK_HEADER_SIZE, bytes(part), part.size());
        packets.append(finish(buf, LINK_SERIAL, len));
        pos += part.size();
    } while (pos < data.size());
    return packets;
}

QByteArray link_keepalive_packet()
{
    unsigned char buf[kBufferSize];
    const int len = vgpi_write_int32(buf + LINK_HEADER_SIZE, 0);
    return finish(buf, LINK_KEEPALIVE, len);
}

int link_packet_size(const QByteArray &header)
{
    const unsigned int size = vgpi_get_packet_size(bytes(header));
    const int type = vgpi_get_packet_type(bytes(header));
    if (size <= unsigned(LINK_HEADER_SIZE) || size > kMaxPacketSize)
        return 0;
    if ((type == LINK_GPO_STATES || type == LINK_GPI_STATES) && size < unsigned(LINK_STATES_SIZE))
        return 0;
    if (type == LINK_SERIAL && size < unsigned(LINK_HEADER_SIZE + 3))
        return 0;
    return int(size);
}

int link_packet_type(const QByteArray &packet)
{
    return vgpi_get_packet_type(bytes(packet));
}

QList<int> link_read_states(const QByteArray &packet)
{
    QList<int> states;
    for (int k = 0; k < kStates; ++k)
        states.append(vgpi_read_int32(bytes(packet) + LINK_HEADER_SIZE + 5 * k));
    return states;
}

bool link_read_serial(const QByteArray &packet, QByteArray *data)
{
    const unsigned char *item = bytes(packet) + LINK_HEADER_SIZE;
    // The item type byte is not looked at, so the count alone decides the item's length.
    if (LINK_HEADER_SIZE + 3 + vgpi_read_uint16_raw(item + 1) > packet.size())
        return false;
    unsigned char *copy = nullptr;
    const int n = vgpi_read_binary(item, &copy);
    *data = QByteArray(reinterpret_cast<const char *>(copy), n);
    std::free(copy);
    return true;
}

qint64 link_now_seconds()
{
    return monotonic_seconds();
}
