// What a conversation with the instrument came to: success, or the one
// sentence that tells the user why not. The conversation that fails says so
// in its Outcome; the code that owns the user's attention passes the text to
// UserFeedback (or its log), once.
#pragma once

#include <QString>

class Outcome
{
public:
    static Outcome success() { return Outcome(); }
    static Outcome failure(const QString& text) { return Outcome(text); }

    bool ok() const { return !isFailure; }
    bool failed() const { return isFailure; }
    // The failure's text for the user; empty on success.
    const QString& text() const { return failureText; }

private:
    Outcome() = default;
    explicit Outcome(const QString& text) : isFailure(true), failureText(text) {}

    bool isFailure = false;
    QString failureText;
};
