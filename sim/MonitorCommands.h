// The boot monitor's own commands: tom8 and mon, lo, EXIT, MD.
#pragma once

#include "InstrumentCore.h"

namespace qx2sim
{

class MonitorCommands : public InstrumentPart
{
public:
    using InstrumentPart::InstrumentPart;

    // False: not a monitor command.
    bool run(const QString& cmd, const QStringList& args, const QString& line);
    void help();

private:
    void showMemory(const QStringList& args);
};

} // namespace qx2sim
