// The LOAD block conversation, at the console or in the monitor: '+', the
// host's '+', then per block '=' (none after the last), two length bytes, the
// data and 0x00 0x00, until a zero length; then '&'s if asked and '-'.
// Strict as the real monitor: an inexact LOAD line, bytes before a handshake
// has reached the line, a wrong block length or trailer, a doubled answer to
// '&' are refused or lost and recorded as violations.
#pragma once

#include "InstrumentCore.h"

namespace qx2sim
{

class BlockLoad : public ActivePart
{
public:
    using ActivePart::ActivePart;

    static bool exactLoadLine(const QString& rawLine);
    void start(const QString& line, const QStringList& args);
    int consume(const char* p, int n) override;
    qint64 deadline() const override;
    void expire() override;

    // Takes a byte at the command line that is a second answer to the last
    // '&' (a violation); false when the byte is the command line's.
    bool lateAmpAnswer(unsigned char c);
    // The LOAD summary waits for late doubled '&' answers: when it is due, or -1.
    qint64 summaryDeadline() const { return summaryDue; }
    void summaryIfDue(qint64 now);

private:
    enum class Step { HostPlus, LenHi, LenLo, Data, Trailer, AmpAnswer, FailedDrain };

    int hostPlus(const char* p, int n);
    int blockData(const char* p, int n);
    int trailer(unsigned char c);
    int ampAnswer(unsigned char c, int n);
    void requestBlock();
    void takeBlockLength();
    void finish();
    void sendMinus();
    void loadSummary();
    void recordEnded(const QString& outcome);
    void abandon(const QString& why);
    void fail(const QString& why);
    void saveLoad(const LoadRecord& rec);

    Step step = Step::HostPlus;
    LoadRecord load;
    quint32 loadReceived = 0;
    int blockLength = 0;
    int blockRemaining = 0;
    int trailerSeen = 0;
    int ampLeft = 0;
    bool ampUsed = false;
    qint64 ampGuardUntil = -1;
    qint64 summaryDue = -1;
    QString failReason;
};

} // namespace qx2sim
