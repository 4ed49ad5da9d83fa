// Saves the hub's settings the way tolvane does, for tests that cut a save short.
//
//   settings-saver a|b     saves set A (or B) once and ends
//   settings-saver loop    saves A and B in turn without end; prints "saving" once the
//                          first save is on disk
//
// The two sets differ in every one of the twenty keys, and in length, so a file that is
// neither whole set shows.
#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <cstring>

#include "settings.h"

namespace {
HubSettings value_set(bool b)
{
    HubSettings s;
    s.dst_ip = b ? QStringLiteral("192.168.100.200") : QStringLiteral("10.0.0.2");
    s.system_mode = b ? 1 : 0;
    s.baudrate = b ? 7 : 3;
    s.parity = b ? 2 : 1;
    for (int n = 0; n < 8; ++n) {
        s.gpi_names.append(b ? QStringLiteral("Input number %1 of set B").arg(n) : QStringLiteral("a%1").arg(n));
        s.gpo_names.append(b ? QStringLiteral("Output number %1 of set B").arg(n) : QStringLiteral("o%1").arg(n));
    }
    return s;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const char *mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "a") == 0 || std::strcmp(mode, "b") == 0)
        return settings_save(value_set(mode[0] == 'b')) ? 0 : 1;
    if (std::strcmp(mode, "loop") != 0) {
        std::fprintf(stderr, "usage: settings-saver a|b|loop\n");
        return 2;
    }
    const HubSettings sets[2] = { value_set(false), value_set(true) };
    for (unsigned n = 0;; ++n) {
        settings_save(sets[n % 2]);
        if (n == 0) {
            std::puts("saving");
            std::fflush(stdout);
        }
    }
}
