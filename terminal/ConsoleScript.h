// The console script of brennock's command line: what to send to the instrument and
// what to wait for in its console text, step by step in the order given.
//
//   --send TEXT        TEXT with C escapes (\r \n \t \\ \xNN \NNN) sent with the stored
//                      paste pacing
//   --expect REGEX     wait until the console text matches
//   --fail-on REGEX    from here on, a match ends the run as failed
//   --timeout SECONDS  for the expects that follow
//   --capture FILE     the console text of the whole run, CR LF line ends
//   --break            send BREAK
//
// This file parses; ConsoleScriptRun runs the steps on an open port.
#pragma once

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVector>

struct ScriptStep {
    enum class Kind { Send, Expect, FailOn, Break };
    Kind kind = Kind::Send;
    QString option;             // as given, with its value: names the step in messages
    QByteArray bytes;           // Send
    QRegularExpression pattern; // Expect, FailOn
    int timeoutMs = 0;          // Expect
};

struct ConsoleScript {
    // A CI job waits for a test program: long enough for a slow one, short enough
    // that a hung instrument does not hold the job for long.
    static constexpr int kDefaultTimeoutS = 30;

    QVector<ScriptStep> steps;
    QString captureFile; // empty: none
    bool empty() const { return steps.isEmpty() && captureFile.isEmpty(); }
};

// Takes the script options out of args, in order, and leaves the others in *rest.
// False with *error (one sentence naming the option) on a usage error.
bool parseConsoleScript(const QStringList& args, ConsoleScript* script, QStringList* rest,
                        QString* error);

// True when arg is one of the script's options.
bool isConsoleScriptOption(const QString& arg);

// C escapes to bytes: \r \n \t \a \b \e \0 \\ \" \' \xNN (one or two hex digits) and \NNN
// (octal). Other characters go out as a paste sends them (code page 437). False for a dangling or
// unknown escape, with *error saying which.
bool decodeEscapes(const QString& text, QByteArray* bytes, QString* error);

// The usage lines of the script options, for --help.
QString consoleScriptUsageText();
