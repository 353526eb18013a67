#include "ConsoleScriptRun.h"

#include "SerialPort.h"

#include <QElapsedTimer>

#include <algorithm>
#include <poll.h>

namespace
{

// A line that takes no byte for this long (flow control held, a stuck driver) fails
// the send instead of hanging the job.
constexpr int kStallMs = 10000;

QByteArray escapedByte(unsigned char c)
{
    static const char digits[] = "0123456789ABCDEF";
    return QByteArray("\\x") + digits[c >> 4] + digits[c & 15];
}

// Untrusted text for a terminal: printable ASCII, CR, LF and TAB as they are.
QByteArray escapedForTerminal(const char* bytes, int count, bool keepLineBreaks)
{
    QByteArray shown;
    shown.reserve(count);
    for (int i = 0; i < count; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const bool lineBreak = c == '\r' || c == '\n' || c == '\t';
        if ((c >= 0x20 && c < 0x7F) || (keepLineBreaks && lineBreak))
            shown += char(c);
        else
            shown += escapedByte(c);
    }
    return shown;
}

} // namespace

ConsoleScriptRun::ConsoleScriptRun(const ConsoleScript& script, std::FILE* out, std::FILE* err,
                                   bool escapeControlBytes)
    : script(script), out(out), err(err), escape(escapeControlBytes)
{
}

ConsoleScriptRun::~ConsoleScriptRun() = default;

bool ConsoleScriptRun::openCapture()
{
    if (script.captureFile.isEmpty())
        return true;
    capture = std::make_unique<QSaveFile>(script.captureFile);
    if (!capture->open(QIODevice::WriteOnly)) {
        std::fprintf(err, "brennock: Cannot open the capture file %s: %s\n",
                     qPrintable(script.captureFile), qPrintable(capture->errorString()));
        capture.reset();
        return false;
    }
    return true;
}

void ConsoleScriptRun::consoleText(const char* bytes, int count)
{
    if (count <= 0)
        return;
    if (escape) {
        const QByteArray shown = escapedForTerminal(bytes, count, true);
        std::fwrite(shown.constData(), 1, size_t(shown.size()), out);
    } else {
        std::fwrite(bytes, 1, size_t(count), out);
    }
    std::fflush(out);

    const qint64 before = end();
    translator.deliver(bytes, count, *this);
    if (text.size() > 2 * kKeptChars) {
        const int drop = text.size() - kKeptChars;
        text.remove(0, drop);
        base += drop;
    }
    if (!failedBy)
        failOnMatched(before);
}

// The translated runs: the capture file gets them as the window's capture does.
void ConsoleScriptRun::run(const char* bytes, int count)
{
    if (capture)
        capture->write(bytes, count);
    for (int i = 0; i < count; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c != '\r' && c != 0) // every CR has become CR LF: the LF alone breaks the line
            text += QChar(c);
    }
}

void ConsoleScriptRun::backspace()
{
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
        text.chop(1);
}

// A fail-on is tried from the start of the line that new text joins, so a match split
// between two reads is found.
bool ConsoleScriptRun::failOnMatched(qint64 newFrom)
{
    const int joined = int(std::max<qint64>(0, newFrom - base));
    const int lineStart = joined == 0 ? 0 : text.lastIndexOf(QLatin1Char('\n'), joined - 1) + 1;
    for (const FailOn& f : failOns) {
        const int from = std::max(lineStart, int(std::max<qint64>(0, f.from - base)));
        if (f.step->pattern.match(text, from).hasMatch()) {
            failedBy = f.step;
            return true;
        }
    }
    return false;
}

bool ConsoleScriptRun::expectMatched()
{
    const QRegularExpressionMatch m =
        currentExpect->pattern.match(text, int(std::max<qint64>(0, expectFrom - base)));
    if (!m.hasMatch())
        return false;
    expectFrom = base + m.capturedEnd();
    return true;
}

bool ConsoleScriptRun::readOnce(int waitMs)
{
    pollfd p{port->descriptor(), POLLIN, 0};
    const int ready = ::poll(&p, 1, waitMs);
    bool any = false;
    char buffer[1024];
    for (;;) {
        const int n = port->Read(buffer, int(sizeof buffer), false);
        if (n <= 0)
            break;
        any = true;
        consoleText(buffer, n);
    }
    const bool hungUp = ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
    if (!any && (port->lineGone() || hungUp || (port->lastError() != 0 && !port->lastIoTimedOut())))
        lineLost = true;
    return any;
}

ConsoleScriptRun::Wait ConsoleScriptRun::readLine(int ms, const std::function<bool()>& done)
{
    QElapsedTimer t;
    t.start();
    for (;;) {
        if (failedBy || lineLost)
            return Wait::Failed;
        if (done && done())
            return Wait::Done;
        const qint64 left = ms - t.elapsed();
        if (left <= 0)
            return Wait::TimedOut;
        readOnce(int(std::min<qint64>(left, kPollMs)));
    }
}

bool ConsoleScriptRun::send(const ScriptStep& step)
{
    const bool paced = sendPacing.charDelayMs != 0 || sendPacing.lfDelayMs != 0;
    const auto writeAll = [this](const char* bytes, int count) {
        QElapsedTimer stalled;
        stalled.start();
        while (count > 0) {
            const int n = port->WriteSome(bytes, count);
            if (n < 0) {
                lineLost = true;
                return false;
            }
            if (n > 0)
                stalled.restart();
            else if (stalled.elapsed() > kStallMs)
                return false;
            bytes += n;
            count -= n;
            if (count > 0 && readLine(1, nullptr) == Wait::Failed)
                return false;
        }
        return readLine(kStallMs, [this] { return port->OutputIdle(); }) == Wait::Done;
    };
    if (!paced)
        return writeAll(step.bytes.constData(), step.bytes.size());
    for (const char byte : step.bytes) {
        if (!writeAll(&byte, 1))
            return false;
        const int pause = byte == '\n' ? sendPacing.lfDelayMs : sendPacing.charDelayMs;
        if (readLine(pause, nullptr) == Wait::Failed)
            return false;
    }
    return true;
}

bool ConsoleScriptRun::sendBreak(const ScriptStep&)
{
    if (!port->SetBreak()) {
        lineLost = port->lineGone();
        return false;
    }
    const Wait w = readLine(breakMs, nullptr);
    port->ClearBreak();
    return w != Wait::Failed;
}

bool ConsoleScriptRun::expect(const ScriptStep& step)
{
    currentExpect = &step;
    return readLine(step.timeoutMs, [this] { return expectMatched(); }) == Wait::Done;
}

int ConsoleScriptRun::run(SerialPort& line)
{
    port = &line;
    for (const ScriptStep& step : script.steps) {
        bool ok = true;
        switch (step.kind) {
        case ScriptStep::Kind::Send:
            ok = send(step);
            break;
        case ScriptStep::Kind::Break:
            ok = sendBreak(step);
            break;
        case ScriptStep::Kind::FailOn:
            // It also sees what came before it but after the last match (the load's end).
            failOns.append({&step, expectFrom});
            failOnMatched(expectFrom);
            break;
        case ScriptStep::Kind::Expect:
            ok = expect(step);
            break;
        }
        // Text that came meanwhile can still hold a fail-on's match.
        if (!ok || failedBy || lineLost) {
            QString what;
            if (failedBy)
                what = QStringLiteral("%1 matched the console text").arg(failedBy->option);
            else if (lineLost)
                what = QStringLiteral("The serial line was lost");
            else if (step.kind == ScriptStep::Kind::Expect)
                what = QStringLiteral("No match within %1 s").arg(step.timeoutMs / 1000.0);
            else
                what =
                    QStringLiteral("The serial line took no bytes for %1 s").arg(kStallMs / 1000);
            return fail(&step, what);
        }
    }
    return finishCapture() ? 0 : 1;
}

int ConsoleScriptRun::fail(const ScriptStep* step, const QString& what)
{
    // Whatever is still queued belongs in the capture and in the lines shown.
    if (!lineLost)
        readOnce(0);
    std::fprintf(err, "brennock: %s during step %s; the last console lines:\n%s", qPrintable(what),
                 qPrintable(step->option), qPrintable(lastLines()));
    finishCapture();
    return 1;
}

bool ConsoleScriptRun::finishCapture(bool keepEmpty)
{
    if (!capture)
        return true;
    if (!keepEmpty && capture->size() == 0) {
        capture->cancelWriting();
        capture.reset();
        return true;
    }
    const bool ok = capture->commit();
    if (!ok)
        std::fprintf(err, "brennock: The capture file %s could not be written: %s\n",
                     qPrintable(script.captureFile), qPrintable(capture->errorString()));
    capture.reset();
    return ok;
}

QString ConsoleScriptRun::lastLines() const
{
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    lines = lines.mid(std::max(0, lines.size() - kShownLines));
    QString shown;
    for (const QString& line : lines) {
        const QByteArray bytes = line.toLatin1();
        shown += QLatin1String("  ") +
                 QString::fromLatin1(escapedForTerminal(bytes.constData(), bytes.size(), false)) +
                 QLatin1Char('\n');
    }
    return shown.isEmpty() ? QStringLiteral("  (none)\n") : shown;
}
