// Runs a console script on an open port, without a window and without an event loop:
// the run owns the line, so it reads the port itself between its steps and while it
// waits, and sends with the stored paste pacing as BlockSender does (one byte, wait
// until it has gone, the character or line-feed delay), reading meanwhile so that the
// instrument's echo never fills the line.
//
// Console text is written to out as it arrives (control bytes escaped when out is a
// terminal), translated as the window translates it for the capture file, and kept
// for the patterns: the last kKeptChars characters, as Latin-1, NUL dropped, line
// breaks as "\n". An expect looks at the text after the previous expect's match (from
// the start of the run for the first); a fail-on at the same text and everything after.
#pragma once

#include "BlockSender.h"
#include "ConsoleScript.h"
#include "TerminalTranslator.h"

#include <QSaveFile>

#include <cstdio>
#include <memory>

class SerialPort;

class ConsoleScriptRun : private TerminalOutput
{
public:
    static constexpr int kBreakMs = 1000;        // as the window's Send BREAK
    static constexpr int kKeptChars = 64 * 1024; // text the patterns can see
    static constexpr int kShownLines = 10;       // console lines in a failure message
    static constexpr int kPollMs = 20;           // longest wait for the line at a stretch

    ConsoleScriptRun(const ConsoleScript& script, std::FILE* out, std::FILE* err,
                     bool escapeControlBytes);
    ~ConsoleScriptRun() override;

    void setPacing(const BlockSender::Pacing& pacing) { sendPacing = pacing; }
    void setBreakMs(int ms) { breakMs = ms; } // kBreakMs but for tests

    // Opens the capture file (before the load, so the whole run is in it). False, with
    // the reason on err, when it cannot be opened.
    bool openCapture();
    // Console text that someone else read from the line (the load's).
    void consoleText(const char* bytes, int count);
    // The steps in order; the exit status: 0 every expect matched, 1 failed. The
    // capture file is written out in either case.
    int run(SerialPort& line);
    // Writes the capture file out under its name (run() does so itself; this is for a
    // run that ended before its steps, at a failed load). Unless keepEmpty, a capture
    // that got no text at all (the port never opened) leaves the file as it was. False,
    // with the reason on err, when it could not be written.
    bool finishCapture(bool keepEmpty = true);

private:
    enum class Wait { Done, TimedOut, Failed };
    struct FailOn {
        const ScriptStep* step;
        qint64 from; // absolute position in the console text
    };

    void run(const char* bytes, int count) override;
    void backspace() override;
    void bell() override {}

    bool send(const ScriptStep& step);
    bool sendBreak(const ScriptStep& step);
    bool expect(const ScriptStep& step);
    // Reads the line until done() holds or ms have passed (-1: no limit).
    Wait readLine(int ms, const std::function<bool()>& done);
    bool readOnce(int waitMs);
    bool failOnMatched(qint64 newFrom);
    bool expectMatched();
    int fail(const ScriptStep* step, const QString& what);
    QString lastLines() const;
    qint64 end() const { return base + text.size(); }

    SerialPort* port = nullptr;
    const ConsoleScript& script;
    std::FILE* out;
    std::FILE* err;
    bool escape;
    BlockSender::Pacing sendPacing;
    int breakMs = kBreakMs;
    TerminalTranslator translator;
    std::unique_ptr<QSaveFile> capture;
    QString text;    // the kept console text
    qint64 base = 0; // absolute position of text[0]
    qint64 expectFrom = 0;
    const ScriptStep* currentExpect = nullptr;
    QVector<FailOn> failOns;
    const ScriptStep* failedBy = nullptr; // a fail-on that matched
    bool lineLost = false;
};
