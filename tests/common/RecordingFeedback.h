// A UserFeedback that records what the code under test shows the user, and answers
// Yes/No questions from a script (or with the default button when the script is empty).
#pragma once

#include "UserFeedback.h"

#include <QList>
#include <QString>
#include <QStringList>

class RecordingFeedback : public UserFeedback
{
public:
    struct Message {
        QString text;
        QString caption;
        MessageIcon icon;
        MessageButtons buttons;
    };

    MessageResult message(const QString& text, const QString& caption, MessageIcon icon,
                          MessageButtons buttons = MessageButtons::Ok,
                          MessageResult defaultResult = MessageResult::Ok) override
    {
        messages.append({text, caption, icon, buttons});
        if (buttons == MessageButtons::YesNo && !answers.isEmpty())
            return answers.takeFirst();
        return defaultResult;
    }
    void beep() override { ++beeps; }
    void setStatusText(const QString& text) override { statusTexts.append(text); }

    void clear()
    {
        messages.clear();
        statusTexts.clear();
        beeps = 0;
    }

    QList<Message> messages;
    QList<MessageResult> answers;   // scripted answers to Yes/No questions, in order
    QStringList statusTexts;
    int beeps = 0;
};
