#ifndef SNMP_LINE_READER_H
#define SNMP_LINE_READER_H

#include <QByteArray>
#include <QString>

// Cuts the relay's byte stream into request lines. A line ends with a newline (a carriage
// return before it is dropped); a line without its newline waits for the rest.
class Snmp_line_reader
{
public:
    // Longest request line held back while its newline has not come; a relay line is an OID
    // or a short value, so anything longer is a broken peer.
    static const int MAX_LINE_LENGTH = 8192;

    void append(const QByteArray &bytes);
    // The next complete line, as UTF-8 text up to any NUL; false when none is complete.
    bool next(QString *line);
    // True when the bytes after the last complete line are more than a line may hold.
    bool too_long() const { return buffer.size() - pos > MAX_LINE_LENGTH; }
    void clear();

private:
    QByteArray buffer;
    // Lines are taken by moving this forward; the buffer drops them when all are taken, so
    // a read holding many lines costs no more than its length.
    int pos = 0;
};

#endif
