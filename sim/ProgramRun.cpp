#include "ProgramRun.h"

#include "InstrumentWire.h"

namespace qx2sim
{

using namespace wire;

void ProgramRun::loaded(quint32 address)
{
    haveProgram = true;
    programAddress = address;
}

void ProgramRun::run(const QString& how, const QString& name, quint32 address, bool haveAddress)
{
    if (!haveAddress && !haveProgram) {
        outLine(QStringLiteral("No program loaded"));
        prompt();
        return;
    }
    model.programs.append({how, name, address});
    note(QStringLiteral("program started by %1 at %2%3")
             .arg(how, hex6(address), name.isEmpty() ? QString() : QLatin1String(" as ") + name));
    if (name.isEmpty())
        outLine(QStringLiteral("QX2 program at %1 running").arg(hex6(address)));
    else
        outLine(QStringLiteral("QX2 program %1 at %2 running").arg(name, hex6(address)));
    for (const QString& line : options.programLines)
        outLine(line);
    if (options.programWaitsForEtx) {
        core.active = Activity::Program;
        return;
    }
    outLine(QStringLiteral("QX2 program ended"));
    prompt();
}

int ProgramRun::consume(const char* p, int n)
{
    int i = 0;
    while (i < n && static_cast<unsigned char>(p[i]) != kETX)
        ++i;
    if (i < n) {
        note(QStringLiteral("program stopped by ETX"));
        core.active = Activity::Line;
        out("^C\r\n");
        outLine(QStringLiteral("QX2 program ended"));
        prompt();
        return i + 1;
    }
    return n;
}

} // namespace qx2sim
