// UserFeedback for the headless mode: messages go to a stream (stderr), one
// "Caption: text" block each; a Yes/No question takes its default answer.
#pragma once

#include "UserFeedback.h"

#include <cstdio>

class ConsoleFeedback : public UserFeedback
{
public:
    explicit ConsoleFeedback(std::FILE* out = stderr) : out_(out) {}

    MessageResult message(const QString& text, const QString& caption, MessageIcon icon,
                          MessageButtons buttons = MessageButtons::Ok,
                          MessageResult defaultResult = MessageResult::Ok) override;
    void beep() override {}
    void setStatusText(const QString&) override {}

private:
    std::FILE* out_;
};
