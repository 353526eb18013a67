// A loaded program started by G or GS. With --program-waits-for-etx it runs
// on, deaf to the line, until Ctrl-C.
#pragma once

#include "InstrumentCore.h"

namespace qx2sim
{

class ProgramRun : public ActivePart
{
public:
    using ActivePart::ActivePart;

    // A block load put a program at address.
    void loaded(quint32 address);
    quint32 address() const { return programAddress; }
    // haveAddress false: at the loaded program's address, if there is one.
    void run(const QString& how, const QString& name, quint32 address, bool haveAddress);
    int consume(const char* p, int n) override;

private:
    bool haveProgram = false;
    quint32 programAddress = 0;
};

} // namespace qx2sim
