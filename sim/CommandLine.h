// The command line that the Zelkon console and the boot monitor share: a line
// editor (echo, BS, Ctrl-C, the host's wake-up), the commands both take, and
// the hand-over to the console's or the monitor's own commands.
#pragma once

#include "ConsoleCommands.h"
#include "InstrumentCore.h"
#include "MonitorCommands.h"

namespace qx2sim
{

class CommandLine : public ActivePart
{
public:
    explicit CommandLine(InstrumentCore& core);

    int consume(const char* p, int n) override;
    void clearLine() { lineBuffer.clear(); }
    // Right after a load, a lone 'G' starts the program.
    void expectGo() { afterLoad = true; }
    // A new wake-up: --answer-on-cr counts its CRs again.
    void newWakeUp() { wakeCrs = 0; }

private:
    void lineByte(unsigned char c);
    bool wakingUp(unsigned char c);
    void echo(const QByteArray& bytes);
    void execute(const QString& line, bool odd);
    bool commonCommand(const QString& cmd, const QStringList& args, const QString& line);
    void go(const QStringList& args);
    void date(const QStringList& args);
    bool setClockFromDate(const QStringList& args);

    ConsoleCommands console;
    MonitorCommands monitor;
    QString lineBuffer;
    bool afterLoad = false; // a lone 'G' now starts the program
    qint64 wakeCrs = 0;     // CRs of the current wake-up (--answer-on-cr)
    bool lineOdd = false;   // the line held a byte that is no part of a command
};

} // namespace qx2sim
