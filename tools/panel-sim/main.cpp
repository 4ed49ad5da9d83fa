// panel-sim: connects to a control-panel port of a unit and plays the panel.
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

#include "consoleinput.h"
#include "panelsim.h"

namespace {

const char KEY_HELP[] =
    "keys: 1-9 press that button, a alive request, q or Ctrl-C quit, h this help\n";

void on_key(PanelSim &sim, char c)
{
    if (c >= '1' && c <= '9')
        sim.press(c - '0');
    else if (c == 'a')
        sim.command(QStringLiteral("alive"));
    else if (c == 'q' || c == 3 || c == 4)
        sim.quit();
    else if (c == 'h' || c == '?')
        std::fputs(KEY_HELP, stdout), std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Control-panel simulator. On a terminal: keys 1-9 press a button, a sends an alive "
        "request, q quits. From a pipe: lines 'press N', 'set N V', 'alive', 'raw HEX', 'quit'."));
    parser.addHelpOption();
    const QCommandLineOption host(QStringLiteral("host"), "Unit address.", "H", "127.0.0.1");
    const QCommandLineOption port(QStringLiteral("port"), "Panel port (10010 to 10014).", "P");
    const QCommandLineOption alive(QStringLiteral("alive-interval"),
                                   "Alive request every MS milliseconds; 0 turns it off.", "MS",
                                   "5000");
    parser.addOptions({ host, port, alive });
    parser.process(app);
    bool port_ok = false, alive_ok = false;
    const int port_number = parser.value(port).toInt(&port_ok);
    const int alive_ms = parser.value(alive).toInt(&alive_ok);
    if (!port_ok || port_number <= 0 || port_number > 65535 || !alive_ok || alive_ms < 0) {
        std::fputs("panel-sim: --port P is required; --alive-interval takes milliseconds\n", stderr);
        return 2;
    }

    PanelSim sim(parser.value(host), port_number, alive_ms);
    ConsoleInput input;
    QObject::connect(&sim, &PanelSim::finished, &app, &QCoreApplication::exit);
    QObject::connect(&input, &ConsoleInput::key, &sim, [&sim](char c) { on_key(sim, c); });
    QObject::connect(&input, &ConsoleInput::line, &sim, [&sim](const QString &text) {
        if (!sim.command(text))
            std::printf("error unknown command %s\n", qPrintable(text)), std::fflush(stdout);
    });
    QObject::connect(&input, &ConsoleInput::end_of_input, &sim, &PanelSim::quit);
    if (input.is_terminal()) {
        sim.set_led_changes_only(true);
        std::fputs(KEY_HELP, stdout), std::fflush(stdout);
    }
    sim.start();
    return app.exec();
}
