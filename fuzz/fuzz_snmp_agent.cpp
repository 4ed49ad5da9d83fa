// The relay's line stream, cut into reads, through the agent's line reader and request handling
// with the table the hub installs. The same bytes in one read must give the same replies and
// writes, as long as no read left more than a line may hold.

#include <QCoreApplication>

#include "fuzz-input.h"
#include "snmp_agent.h"

namespace {

struct Outcome
{
    QByteArray replies;
    QStringList writes;
    bool dropped = false;
};

Outcome run(const QList<QByteArray> &reads)
{
    // No relay listens there: the agent stays unconnected and only its reply bytes count.
    Snmp_Agent agent(nullptr, QStringLiteral("/nonexistent/sock.unix"));
    agent.set_device_ID(16);
    agent.set_mib_element_str(QStringLiteral("1.1"), QStringLiteral("TOLVANE"));
    for (int n = 1; n <= 8; ++n)
        agent.set_mib_element_int(QStringLiteral("2.%0").arg(n), 0);
    for (int n = 1; n <= 8; ++n)
        agent.set_mib_element_int(QStringLiteral("3.%0").arg(n), 0);
    Outcome outcome;
    QObject::connect(&agent, &Snmp_Agent::signal_set_val, [&](QString key, int val) {
        outcome.writes << key + QLatin1Char('=') + QString::number(val);
        FUZZ_CHECK(key.startsWith(QLatin1String("3.")) || key.startsWith(QLatin1String("2."))
                   || key == QLatin1String("1.1"));
    });
    for (const QByteArray &read : reads) {
        outcome.replies += agent.receive(read);
        if (agent.line_too_long()) {
            outcome.dropped = true;
            break;
        }
    }
    FUZZ_CHECK(agent.mib_size() == 17);
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz_snmp_agent";
    static char *argv[] = { name, nullptr };
    new QCoreApplication(argc, argv);
    fuzz_quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> reads = fuzz_reads(data, size);
    const Outcome cut = run(reads);
    if (cut.dropped)
        return 0;
    QByteArray stream;
    for (const QByteArray &read : reads)
        stream += read;
    const Outcome whole = run(QList<QByteArray>() << stream);
    FUZZ_CHECK(whole.replies == cut.replies);
    FUZZ_CHECK(whole.writes == cut.writes);
    return 0;
}
