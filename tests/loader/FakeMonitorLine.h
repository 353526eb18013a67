// A scripted stand-in for the serial line of the monitor conversations.
//
// The script is a list of steps: when the bytes the host has written (since the
// previous step matched) contain the step's expected bytes, its reply is queued
// for the host to read. With the script used up the far end stays silent: a read
// then times out at once (no real waiting). Everything written is kept with the
// rate and format in force when it was written, and every change of rate,
// format and time-outs is recorded, so a test can compare the whole wire and
// check what the line was put back to.
#pragma once

#include "MonitorLine.h"
#include "MonitorTiming.h"
#include "SerialPort.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cerrno>
#include <cstring>

struct FakeLineState {
    uint32_t baud = 9600;
    uint8_t parity = kNoParity;
    uint8_t byteSize = 8;
    uint8_t stopBits = kOneStopBit;
    ReadTimeouts read{kMaxDword, 0, 0};
    uint32_t writePerByte = 0;
    uint32_t writeConstant = 1000;

    bool operator==(const FakeLineState& o) const
    {
        return baud == o.baud && parity == o.parity && byteSize == o.byteSize &&
               stopBits == o.stopBits && read.interval == o.read.interval &&
               read.perByte == o.read.perByte && read.constant == o.read.constant &&
               writePerByte == o.writePerByte && writeConstant == o.writeConstant;
    }
};

class FakeMonitorLine : public MonitorLine
{
public:
    struct Step {
        QByteArray expect;
        QByteArray reply;
    };
    struct Written {
        QByteArray bytes;
        FakeLineState state;
    };

    QList<Step> script;
    QByteArray inbound;    // waiting to be read
    QByteArray wire;       // everything written
    QList<Written> writes; // each write with the line state at the time
    FakeLineState state;   // current
    int restores = 0;      // snapshots put back
    int failAfterOps = -1; // the device vanishes after this many operations
    int shortWriteAt = -1; // the write of this many bytes comes out short ...
    int shortBy = 1;       // ... by this many bytes
    int endlessInput = -1; // when set, this byte is always waiting
    int lowLatencyRequests = 0;
    bool lowLatencyActive = false;

    int inputCount() override
    {
        if (vanished())
            return 0;
        if (endlessInput >= 0)
            return 1;
        return inbound.size();
    }

    int read(char* buffer, int count) override
    {
        if (op()) {
            failed = true;
            return 0;
        }
        failed = false;
        if (endlessInput >= 0) {
            memset(buffer, endlessInput, size_t(count));
            return count;
        }
        const int n = std::min(count, int(inbound.size()));
        memcpy(buffer, inbound.constData(), size_t(n));
        inbound.remove(0, n);
        return n;
    }

    int write(const char* bytes, int count) override
    {
        if (op()) {
            failed = true;
            return 0;
        }
        failed = false;
        int n = count;
        if (count == shortWriteAt) {
            shortWriteAt = -1;
            n = count - shortBy;
        }
        const QByteArray data(bytes, n);
        wire += data;
        writes.append({data, state});
        unmatched += data;
        while (!script.isEmpty()) {
            const int at = unmatched.indexOf(script.first().expect);
            if (at < 0)
                break;
            unmatched.remove(0, at + script.first().expect.size());
            inbound += script.takeFirst().reply;
        }
        return n;
    }

    bool setBaudRate(uint32_t rate) override
    {
        state.baud = rate;
        return !vanished();
    }
    bool setLineFormat(uint8_t parity, uint8_t byteSize, uint8_t stopBits) override
    {
        state.parity = parity;
        state.byteSize = byteSize;
        state.stopBits = stopBits;
        return !vanished();
    }
    bool setReadTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant) override
    {
        state.read = {interval, multiplier, constant};
        return !vanished();
    }
    bool setWriteTimeouts(uint32_t multiplier, uint32_t constant) override
    {
        state.writePerByte = multiplier;
        state.writeConstant = constant;
        return !vanished();
    }

    std::unique_ptr<LineRestorer> saveLineState() override
    {
        return std::make_unique<Snapshot>(*this);
    }
    std::unique_ptr<LineRestorer> lowLatency() override
    {
        ++lowLatencyRequests;
        return std::make_unique<LowLatency>(*this);
    }
    bool deviceFailed() const override { return failed; }
    QString failureText() const override { return QStringLiteral("Input/output error"); }

    // The bytes written while the line was at this rate.
    QByteArray writtenAt(uint32_t baud) const
    {
        QByteArray out;
        for (const Written& w : writes)
            if (w.state.baud == baud)
                out += w.bytes;
        return out;
    }

    int operations = 0;

private:
    bool vanished() const { return failAfterOps >= 0 && operations >= failAfterOps; }
    // Counts one read or write; true when the device is gone.
    bool op()
    {
        ++operations;
        return failAfterOps >= 0 && operations > failAfterOps;
    }

    class Snapshot : public LineRestorer
    {
    public:
        explicit Snapshot(FakeMonitorLine& l) : line(l), saved(l.state) {}
        ~Snapshot() override
        {
            line.state = saved;
            ++line.restores;
        }

    private:
        FakeMonitorLine& line;
        FakeLineState saved;
    };
    class LowLatency : public LineRestorer
    {
    public:
        explicit LowLatency(FakeMonitorLine& l) : line(l) { line.lowLatencyActive = true; }
        ~LowLatency() override { line.lowLatencyActive = false; }

    private:
        FakeMonitorLine& line;
    };

    QByteArray unmatched;
    bool failed = false;
};
