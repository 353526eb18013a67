// How the core code talks to the user without knowing about widgets.
//
// The document, the converter and the loaders report through this interface:
// message boxes with fixed texts and captions, a simple beep for a failed
// transmit, and the status bar's message pane. The GUI shows real dialogs,
// the headless command line prints to stderr, and tests record the calls.
// Texts are passed exactly as the program defines them; a lone CR inside a
// message is a line break, and presenters show it as one.
#pragma once

#include <QString>

enum class MessageIcon { None, Information, Warning };
enum class MessageButtons { Ok, YesNo };
enum class MessageResult { Ok, Yes, No };

class UserFeedback
{
public:
    virtual ~UserFeedback() = default;

    // Modal message. With YesNo, defaultResult names the default button and is
    // what a presenter without a user (headless) answers.
    virtual MessageResult message(const QString& text, const QString& caption, MessageIcon icon,
                                  MessageButtons buttons = MessageButtons::Ok,
                                  MessageResult defaultResult = MessageResult::Ok) = 0;

    // The simple beep of a failed transmit (and of a BEL byte).
    virtual void beep() = 0;

    // Text of the status bar's message pane ("Ready" when idle).
    virtual void setStatusText(const QString& text) = 0;
};

// Turns the lone CRs of a message text into line breaks for display.

inline QString messageTextForDisplay(const QString& text)
{
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}
