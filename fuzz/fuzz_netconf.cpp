// The network-configuration reader on arbitrary file contents, and what the writer writes read
// back. Input: one byte giving the destination file's length (255: no such file), that many
// bytes of it, the rest the interfaces file.

#include "fuzz-input.h"
#include "netconf.h"

#include <QByteArray>
#include <QFile>

#include <cstring>
#include <unistd.h>

namespace {

QByteArray folder;
QByteArray interfaces;
QByteArray destination_file;

void write_file(const QByteArray &path, const QByteArray &content)
{
    QFile f(QString::fromLocal8Bit(path));
    FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(f.write(content) == content.size());
}

// Four address bytes from the input, counting missing ones as 0.
void take(const QByteArray &bytes, int at, uint8_t out[4])
{
    for (int i = 0; i < 4; ++i)
        out[i] = uint8_t(at + i < bytes.size() ? bytes.at(at + i) : 0);
}

void round_trip(const QByteArray &bytes)
{
    uint8_t address[4], netmask[4], gateway[4], destination[4];
    take(bytes, 0, address);
    take(bytes, 4, netmask);
    take(bytes, 8, gateway);
    take(bytes, 12, destination);
    write_config(address, netmask, gateway, destination);
    uint8_t got_netmask[4], got_gateway[4], got_destination[4];
    FUZZ_CHECK(read_config(got_netmask, got_gateway, got_destination) == 1);
    FUZZ_CHECK(std::memcmp(got_netmask, netmask, 4) == 0);
    FUZZ_CHECK(std::memcmp(got_gateway, gateway, 4) == 0);
    FUZZ_CHECK(std::memcmp(got_destination, destination, 4) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A memory file system: rewriting a file on a disk one waits for the disk each time.
    char dir[] = "/dev/shm/fuzz-netconf-XXXXXX";
    FUZZ_CHECK(mkdtemp(dir));
    folder = dir;
    interfaces = folder + "/interfaces";
    destination_file = folder + "/dst_ip";
    interfaces_path = interfaces.constData();
    dst_ip_path = destination_file.constData();
    disable_path = "/nonexistent";
    networking_restart_cmd = "true";
    std::atexit([] {
        unlink(interfaces.constData());
        unlink(destination_file.constData());
        rmdir(folder.constData());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzz_bytes(data, size);
    const int dst_len = bytes.isEmpty() ? 255 : quint8(bytes.at(0));
    const QByteArray dst = bytes.mid(1, dst_len);
    write_file(interfaces, bytes.mid(1 + dst.size()));
    if (dst_len == 255)
        unlink(destination_file.constData());
    else
        write_file(destination_file, dst);
    // Values left alone by the reader stay as they were.
    uint8_t netmask[4] = { 1, 2, 3, 4 }, gateway[4] = { 5, 6, 7, 8 }, destination[4];
    const int found = read_config(netmask, gateway, destination);
    FUZZ_CHECK(found == 0 || found == 1);
    if (dst_len == 255) {
        static const uint8_t broadcast[4] = { 255, 255, 255, 255 };
        FUZZ_CHECK(found == 1 && std::memcmp(destination, broadcast, 4) == 0);
    }
    round_trip(bytes);
    return 0;
}
