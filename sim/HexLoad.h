// A "lo" download in the monitor: '%', S-record or Intel hex text at 57600
// baud until an end record (or quiet), '%' again, and the host's own '%'
// closes it.
#pragma once

#include "HexRecords.h"
#include "InstrumentCore.h"

namespace qx2sim
{

class HexLoad : public ActivePart
{
public:
    using ActivePart::ActivePart;

    void start(const QString& line);
    int consume(const char* p, int n) override;
    qint64 deadline() const override;
    void expire() override;
    // Waiting for the host's closing '%' (the line end of the last record may trail).
    bool closing() const { return step == Step::Closing; }

private:
    enum class Step { Data, Closing };

    int data(const char* p, int n);
    int closingByte(unsigned char c);
    void line(const QByteArray& text);
    void applyRecord(const HexRecord& r);
    void finish(const QString& why);

    Step step = Step::Data;
    HexLoadRecord hex;
    QByteArray lineBuffer;
    quint32 upper = 0; // Intel extended address
};

} // namespace qx2sim
