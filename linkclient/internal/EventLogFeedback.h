// The link's own presenter of UserFeedback: a message becomes one row of the
// event log, which the window lists and the command line prints; the link has
// no dialogs of its own, no beep and no status pane.
#pragma once

#include "UserFeedback.h"

#include <functional>

class EventLogFeedback : public UserFeedback
{
public:
    using Row = std::function<void(const QString& text)>;
    explicit EventLogFeedback(Row row) : row(std::move(row)) {}

    MessageResult message(const QString& text, const QString&, MessageIcon,
                          MessageButtons buttons, MessageResult defaultResult) override
    {
        row(text);
        return buttons == MessageButtons::Ok ? MessageResult::Ok : defaultResult;
    }
    void beep() override {}
    void setStatusText(const QString&) override {}

private:
    Row row;
};
