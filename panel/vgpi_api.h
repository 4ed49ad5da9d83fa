#ifndef VGPI_API_CLASS_H
#define VGPI_API_CLASS_H

#include <QByteArray>
#include <QObject>

#include "repeat-log.h"

// Panel frames as QByteArrays: accessors, converters, builders and the chunk parser.
// Unlike the C codec, every accessor checks the array's size and the packet type reads unsigned.
class Vgpi_api : public QObject
{
    Q_OBJECT
public:
    explicit Vgpi_api(QObject *parent = nullptr);

    int vgpi_get_packet_size(QByteArray frame);
    void vgpi_set_packet_size(QByteArray &frame, int size);
    int vgpi_get_packet_type(QByteArray frame);
    void vgpi_set_packet_type(QByteArray &frame, int type);
    int vgpi_get_type_specific(QByteArray frame);
    void vgpi_set_type_specific(QByteArray &frame, int value);
    void vgpi_set_packet_uint16(QByteArray &frame, int value);

    int vgpi_to_int16(QByteArray value);
    int vgpi_to_int32(QByteArray value);
    QByteArray vgpi_get_data(QByteArray frame, int &item_type);

    QByteArray vgpi_frame_get(int type_specific, int value);
    QByteArray vgpi_frame_get_answer(int type_specific, int value);
    QByteArray vgpi_frame_uint16(int type_specific, int value);

    void parse_frame(QByteArray chunk);

signals:
    void signal_parse_frame(int type, int type_specific, int value);

private:
    QByteArray build_frame(int packet_type, int type_specific, int value);
    int parse_one(const QByteArray &rest);

    RepeatLog short_log { QStringLiteral("Frame too short, discarded bytes:") };
    RepeatLog size_log { QStringLiteral("Bad packet size") };
};

#endif
