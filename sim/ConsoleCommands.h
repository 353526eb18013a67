// The Zelkon console's own commands: DIR, CD, TYPE, SKIFFER, MON, VER.
#pragma once

#include "InstrumentCore.h"

namespace qx2sim
{

class ConsoleCommands : public InstrumentPart
{
public:
    using InstrumentPart::InstrumentPart;

    // False: not a console command.
    bool run(const QString& cmd, const QStringList& args);
    void help();

private:
    void changeDirectory(const QStringList& args);
    void printDirectory(const QStringList& args);
    void typeFile(const QStringList& args);
};

} // namespace qx2sim
