#include "vgpi_api.h"

#include <QDebug>

namespace {

constexpr int HEADER_SIZE = 8;
constexpr int ITEM_UINT16 = 1;
constexpr int ITEM_INT32 = 2;
// Header, item type byte and the widest value the parser reads (int32).
constexpr int MAX_PARSED_PREFIX = HEADER_SIZE + 1 + 4;

quint8 byte_at(const QByteArray &a, int i)
{
    return static_cast<quint8>(a.at(i));
}

void put_be16(QByteArray &a, int at, int value)
{
    a[at] = static_cast<char>((value >> 8) & 0xFF);
    a[at + 1] = static_cast<char>(value & 0xFF);
}

// Bytes a frame must span so that the item the parser reports lies inside it.
int bytes_needed(int item_type)
{
    if (item_type == ITEM_UINT16)
        return HEADER_SIZE + 3;
    if (item_type == ITEM_INT32)
        return HEADER_SIZE + 5;
    return HEADER_SIZE;
}

} // namespace

Vgpi_api::Vgpi_api(QObject *parent) : QObject(parent) {}

int Vgpi_api::vgpi_get_packet_size(QByteArray frame)
{
    if (frame.size() < 4)
        return 0;
    const quint32 v = (quint32(byte_at(frame, 0)) << 24) | (quint32(byte_at(frame, 1)) << 16)
                      | (quint32(byte_at(frame, 2)) << 8) | quint32(byte_at(frame, 3));
    return static_cast<int>(v);
}

void Vgpi_api::vgpi_set_packet_size(QByteArray &frame, int size)
{
    if (frame.size() < 4)
        return;
    const quint32 v = static_cast<quint32>(size);
    for (int i = 0; i < 4; ++i)
        frame[i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
}

int Vgpi_api::vgpi_get_packet_type(QByteArray frame)
{
    if (frame.size() < 6)
        return 0;
    return byte_at(frame, 5);
}

void Vgpi_api::vgpi_set_packet_type(QByteArray &frame, int type)
{
    if (frame.size() < 6)
        return;
    frame[5] = static_cast<char>(type & 0xFF);
}

int Vgpi_api::vgpi_get_type_specific(QByteArray frame)
{
    if (frame.size() < 8)
        return 0;
    return (byte_at(frame, 6) << 8) | byte_at(frame, 7);
}

void Vgpi_api::vgpi_set_type_specific(QByteArray &frame, int value)
{
    if (frame.size() < 8)
        return;
    put_be16(frame, 6, value);
}

void Vgpi_api::vgpi_set_packet_uint16(QByteArray &frame, int value)
{
    if (frame.size() < HEADER_SIZE + 3)
        return;
    frame[HEADER_SIZE] = static_cast<char>(ITEM_UINT16);
    put_be16(frame, HEADER_SIZE + 1, value);
}

int Vgpi_api::vgpi_to_int16(QByteArray value)
{
    if (value.isEmpty())
        return 0;
    const int low = value.size() > 1 ? byte_at(value, 1) : 0;
    return (byte_at(value, 0) << 8) | low;
}

// A value cut short keeps its bytes at the high end; the missing low bytes count as 0.
int Vgpi_api::vgpi_to_int32(QByteArray value)
{
    quint32 v = 0;
    for (int i = 0; i < 4; ++i) {
        v <<= 8;
        if (i < value.size())
            v |= byte_at(value, i);
    }
    return static_cast<int>(v);
}

// The frame's packet size does not bound the item: it reaches as far as the array does.
QByteArray Vgpi_api::vgpi_get_data(QByteArray frame, int &item_type)
{
    frame.remove(0, HEADER_SIZE);
    item_type = frame.isEmpty() ? 0 : byte_at(frame, 0);
    frame.remove(0, 1);
    if (item_type == ITEM_UINT16)
        return frame.left(2);
    if (item_type == ITEM_INT32)
        return frame.left(4);
    return frame;
}

QByteArray Vgpi_api::build_frame(int packet_type, int type_specific, int value)
{
    QByteArray frame(HEADER_SIZE + 3, '\0');
    vgpi_set_packet_size(frame, frame.size());
    vgpi_set_packet_type(frame, packet_type);
    vgpi_set_type_specific(frame, type_specific);
    vgpi_set_packet_uint16(frame, value);
    return frame;
}

QByteArray Vgpi_api::vgpi_frame_get(int type_specific, int value)
{
    return build_frame(0, type_specific, value);
}

QByteArray Vgpi_api::vgpi_frame_get_answer(int type_specific, int value)
{
    return build_frame(1, type_specific, value);
}

QByteArray Vgpi_api::vgpi_frame_uint16(int type_specific, int value)
{
    return build_frame(2, type_specific, value);
}

// Nothing is carried over between chunks: a frame split across two reads is reported from the
// bytes of its first part, and its tail is then read as the start of a frame of its own.
void Vgpi_api::parse_frame(QByteArray chunk)
{
    int pos = 0;
    while (pos < chunk.size()) {
        const QByteArray rest =
            QByteArray::fromRawData(chunk.constData() + pos, chunk.size() - pos);
        const int consumed = parse_one(rest);
        if (consumed <= 0)
            return;
        pos += consumed;
    }
}

// Reports one frame from the front of rest and returns the bytes it spans, or 0 when the rest
// of the chunk cannot be framed and is dropped.
int Vgpi_api::parse_one(const QByteArray &rest)
{
    if (rest.size() < 4) {
        if (short_log.pass())
            qDebug() << "Frame too short, discarded bytes:" << rest.size();
        return 0;
    }
    const int type = vgpi_get_packet_type(rest);
    const int type_specific = vgpi_get_type_specific(rest);
    int item_type = 0;
    // The item lies within the first few bytes; a bounded view keeps each frame's cost constant.
    const QByteArray value = vgpi_get_data(rest.left(MAX_PARSED_PREFIX), item_type);
    const int size = vgpi_get_packet_size(rest);
    if (size < bytes_needed(item_type)) {
        if (size_log.pass())
            qDebug() << "Bad packet size" << size << "discarded bytes:" << rest.size();
        return 0;
    }
    if (item_type == ITEM_UINT16)
        emit signal_parse_frame(type, type_specific, vgpi_to_int16(value));
    else if (item_type == ITEM_INT32)
        emit signal_parse_frame(type, type_specific, vgpi_to_int32(value));
    return qMin(size, rest.size());
}
