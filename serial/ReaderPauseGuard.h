// Stops the comm thread for a conversation that reads the port itself, and starts it
// again when the conversation ends, however it ends.
#pragma once

// What owns the comm thread (the terminal document). restartReader reports its own
// failure to the user and closes the connection.
class ReaderControl
{
public:
    virtual ~ReaderControl() = default;
    virtual bool stopReader() = 0;
    virtual bool restartReader() = 0;
};

class ReaderPauseGuard
{
public:
    explicit ReaderPauseGuard(ReaderControl& owner) : owner(owner) { stopped = owner.stopReader(); }
    ~ReaderPauseGuard()
    {
        if (stopped)
            owner.restartReader();
    }

    ReaderPauseGuard(const ReaderPauseGuard&) = delete;
    ReaderPauseGuard& operator=(const ReaderPauseGuard&) = delete;

    // False when there was no reader to stop (no port).
    bool paused() const { return stopped; }

private:
    ReaderControl& owner;
    bool stopped = false;
};
