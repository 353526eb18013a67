#include "InstrumentCore.h"

#include "InstrumentWire.h"

#include <climits>

namespace qx2sim
{

using namespace wire;

InstrumentCore::InstrumentCore(const SimOptions& options, CardTree* card, InstrumentIo* io)
    : options(options), card(card), io(io), uartRate(options.terminalBaud)
{
}

QDateTime InstrumentCore::clock() const
{
    return QDateTime::currentDateTimeUtc().addMSecs(clockOffsetMs);
}

void InstrumentCore::setClock(const QDateTime& value)
{
    clockOffsetMs = QDateTime::currentDateTimeUtc().msecsTo(value);
}

void InstrumentCore::out(const QByteArray& bytes)
{
    pending += bytes;
}

void InstrumentCore::outLine(const QString& text)
{
    out(text.toUtf8() + "\r\n");
}

void InstrumentCore::outAfter(int gapMs, const QByteArray& bytes)
{
    flush();
    if (!options.silent && !bytes.isEmpty())
        io->send(bytes, gapMs + takeGap(), uartBaud());
}

void InstrumentCore::flush()
{
    if (!pending.isEmpty() && !options.silent)
        io->send(pending, takeGap(), uartBaud());
    pending.clear();
}

int InstrumentCore::takeGap()
{
    const int gap = responseGap;
    responseGap = 0;
    return gap;
}

qint64 InstrumentCore::uartBaud() const
{
    return options.lenient ? 0 : uartRate;
}

void InstrumentCore::switchUart(qint64 baud, const QString& why)
{
    // Whatever is queued still goes out at the old rate.
    flush();
    if (baud == uartRate)
        return;
    uartRate = baud;
    if (baud > 0)
        note(QStringLiteral("line: instrument at %1 baud (%2)").arg(baud).arg(why));
    else
        note(QStringLiteral("line: %1, any rate").arg(why));
}

void InstrumentCore::handshake(char byte)
{
    out(QByteArray(1, byte));
    flush();
    handshakeMark = io->queuedTotal();
    awaiting = QString(QLatin1Char(byte));
}

void InstrumentCore::withholdHandshake()
{
    handshakeMark = LLONG_MAX;
}

bool InstrumentCore::handshakeOnLine() const
{
    return options.silent || io->sentTotal() >= handshakeMark;
}

int InstrumentCore::dropEarly(int n, const char* what)
{
    if (options.lenient || awaiting.isEmpty() || handshakeOnLine())
        return 0;
    // A UART with no room: what the host sent before it could have seen the
    // handshake is lost.
    violation(QStringLiteral("%1 byte(s) %2 sent before the instrument's '%3' (lost)")
                  .arg(n)
                  .arg(QLatin1String(what))
                  .arg(awaiting));
    return n;
}

void InstrumentCore::violation(const QString& text)
{
    model.violations.append(text);
    convViolations.append(text);
    note(QStringLiteral("violation: ") + text);
}

QString InstrumentCore::violationsField() const
{
    if (convViolations.isEmpty())
        return QStringLiteral("violations=none");
    return QStringLiteral("violations=%1: %2")
        .arg(convViolations.size())
        .arg(convViolations.join(QLatin1String("; ")));
}

void InstrumentCore::summary(const QString& text)
{
    note(text + QLatin1Char(' ') + violationsField());
    convViolations.clear();
}

QByteArray InstrumentCore::promptText() const
{
    const QByteArray end = options.promptSpace ? "> " : ">";
    if (simMode == SimMode::Monitor)
        return "QX2" + end;
    return CardTree::cardPath(cwd).toUtf8() + end;
}

void InstrumentCore::prompt()
{
    if (options.noPrompt)
        return;
    if (options.promptDelayMs > 0)
        outAfter(options.promptDelayMs, promptText());
    else
        out(promptText());
}

void InstrumentCore::note(const QString& text)
{
    io->event(text);
}

} // namespace qx2sim
