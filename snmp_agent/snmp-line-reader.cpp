#include "snmp-line-reader.h"

void Snmp_line_reader::append(const QByteArray &bytes)
{
    buffer.append(bytes);
}

bool Snmp_line_reader::next(QString *line)
{
    const int end = buffer.indexOf('\n', pos);
    if (end < 0) {
        buffer.remove(0, pos);
        pos = 0;
        return false;
    }
    int len = end - pos;
    if (len > 0 && buffer.at(end - 1) == '\r')
        --len;
    // The byte-array form of the conversion: the text ends at a NUL, as it always has.
    *line = QString::fromUtf8(buffer.mid(pos, len));
    pos = end + 1;
    return true;
}

void Snmp_line_reader::clear()
{
    buffer.clear();
    pos = 0;
}
