#include "ConsoleScript.h"

#include "Cp437.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace
{

const QString kSend = QStringLiteral("--send");
const QString kExpect = QStringLiteral("--expect");
const QString kFailOn = QStringLiteral("--fail-on");
const QString kTimeout = QStringLiteral("--timeout");
const QString kCapture = QStringLiteral("--capture");
const QString kBreak = QStringLiteral("--break");

// Longest --timeout taken: a day, far beyond any test and far inside int milliseconds.
constexpr double kMaxTimeoutS = 86400;

int hexDigit(QChar c)
{
    const char ch = c.toLatin1();
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

bool compilePattern(const QString& option, const QString& text, QRegularExpression* out,
                    QString* error)
{
    QRegularExpression re(text, QRegularExpression::MultilineOption);
    if (!re.isValid()) {
        *error = QStringLiteral("%1 \"%2\" is not a valid regular expression (%3)")
                     .arg(option, text, re.errorString());
        return false;
    }
    re.optimize();
    *out = re;
    return true;
}

} // namespace

bool isConsoleScriptOption(const QString& arg)
{
    return arg == kSend || arg == kExpect || arg == kFailOn || arg == kTimeout || arg == kCapture ||
           arg == kBreak;
}

bool decodeEscapes(const QString& text, QByteArray* bytes, QString* error)
{
    bytes->clear();
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\\')) {
            bytes->append(cp437::fromUnicode(QString(c)));
            continue;
        }
        if (++i >= text.size()) {
            *error = QStringLiteral("\"%1\" ends in a lone backslash").arg(text);
            return false;
        }
        const char e = text.at(i).toLatin1();
        static const char simple[][2] = {{'r', '\r'},  {'n', '\n'}, {'t', '\t'},
                                         {'a', '\a'},  {'b', '\b'}, {'e', 27},
                                         {'\\', '\\'}, {'"', '"'},  {'\'', '\''}};
        const auto known = std::find_if(std::begin(simple), std::end(simple),
                                        [e](const char* s) { return s[0] == e; });
        if (known != std::end(simple)) {
            bytes->append((*known)[1]);
            continue;
        }
        if (e == 'x') {
            int value = 0, digits = 0;
            while (digits < 2 && i + 1 < text.size() && hexDigit(text.at(i + 1)) >= 0) {
                value = value * 16 + hexDigit(text.at(++i));
                ++digits;
            }
            if (digits == 0) {
                *error = QStringLiteral("\"%1\": \\x needs a hex digit").arg(text);
                return false;
            }
            bytes->append(char(value));
        } else if (e >= '0' && e <= '7') {
            int value = e - '0', digits = 1;
            while (digits < 3 && i + 1 < text.size() && text.at(i + 1) >= QLatin1Char('0') &&
                   text.at(i + 1) <= QLatin1Char('7')) {
                value = value * 8 + (text.at(++i).toLatin1() - '0');
                ++digits;
            }
            if (value > 0xFF) {
                *error = QStringLiteral("\"%1\": an octal escape above \\377").arg(text);
                return false;
            }
            bytes->append(char(value));
        } else {
            *error = QStringLiteral("\"%1\": unknown escape \\%2").arg(text, text.at(i));
            return false;
        }
    }
    return true;
}

bool parseConsoleScript(const QStringList& args, ConsoleScript* script, QStringList* rest,
                        QString* error)
{
    *script = ConsoleScript();
    rest->clear();
    int timeoutMs = ConsoleScript::kDefaultTimeoutS * 1000;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (!isConsoleScriptOption(a)) {
            rest->append(a);
            continue;
        }
        ScriptStep step;
        step.option = a;
        if (a == kBreak) {
            step.kind = ScriptStep::Kind::Break;
            script->steps.append(step);
            continue;
        }
        // The value is taken as it is: a text to send or a pattern may well start with '-'.
        if (i + 1 >= args.size()) {
            *error = QStringLiteral("%1 needs a value").arg(a);
            return false;
        }
        const QString value = args.at(++i);
        step.option = QStringLiteral("%1 \"%2\"").arg(a, value);
        if (a == kSend) {
            step.kind = ScriptStep::Kind::Send;
            if (!decodeEscapes(value, &step.bytes, error)) {
                *error = QStringLiteral("--send %1").arg(*error);
                return false;
            }
        } else if (a == kExpect || a == kFailOn) {
            step.kind = a == kExpect ? ScriptStep::Kind::Expect : ScriptStep::Kind::FailOn;
            if (!compilePattern(a, value, &step.pattern, error))
                return false;
            step.timeoutMs = timeoutMs;
        } else if (a == kTimeout) {
            bool ok = false;
            const double s = value.toDouble(&ok);
            if (!ok || !std::isfinite(s) || s <= 0 || s > kMaxTimeoutS) {
                *error = QStringLiteral("--timeout needs a number of seconds above 0 and up to "
                                        "%1, not \"%2\"")
                             .arg(kMaxTimeoutS)
                             .arg(value);
                return false;
            }
            timeoutMs = int(std::lround(s * 1000));
            if (timeoutMs == 0)
                timeoutMs = 1;
            continue;
        } else if (a == kCapture) {
            if (!script->captureFile.isEmpty()) {
                *error = QStringLiteral("--capture may be given once");
                return false;
            }
            if (value.isEmpty()) {
                *error = QStringLiteral("--capture needs a file name");
                return false;
            }
            script->captureFile = value;
            continue;
        }
        script->steps.append(step);
    }
    return true;
}

QString consoleScriptUsageText()
{
    return QStringLiteral(
               "  brennock [--load FILE] [--port COMn|DEVICE] [--baud N] STEP ...\n"
               "        a console script without a window, its steps in the order given\n"
               "        (after the load, when there is one); the console text goes to\n"
               "        stdout as it arrives. Steps:\n"
               "    --send TEXT        send TEXT (C escapes \\r \\n \\t \\xNN \\\\) with the\n"
               "                       stored paste pacing\n"
               "    --expect REGEX     wait until the console text matches\n"
               "    --fail-on REGEX    from here on, a match ends the run as failed\n"
               "    --timeout SECONDS  for the expects that follow (default %1)\n"
               "    --capture FILE     the console text of the whole run into FILE,\n"
               "                       CR LF line ends, written when the run ends\n"
               "    --break            send BREAK\n"
               "        Exit status 0 when every expect matched, 1 on a time-out, a fail-on\n"
               "        match, a lost line or a failed load, 2 for a usage error.\n")
        .arg(ConsoleScript::kDefaultTimeoutS);
}
