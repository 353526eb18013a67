// What the load commands need of the program around them: the open line (none
// when no port is open), the owner of the comm thread, the rates, the terminal's
// text, and the recent-file list. The terminal document provides it in the
// window; the headless --load command provides its own.
#pragma once

#include "MonitorSession.h"
#include "ReaderPauseGuard.h"

#include <QByteArray>
#include <QString>

class MonitorLine;

class LoadHost
{
public:
    virtual ~LoadHost() = default;
    // The open port's line; null when no port is open.
    virtual MonitorLine* line() = 0;
    virtual ReaderControl& readerControl() = 0;
    // The terminal and download baud rates as set now.
    virtual MonitorSession::Rates rates() const = 0;
    // Status lines of the loaders, shown as if received.
    virtual void showInTerminal(const QByteArray& bytes) = 0;
    virtual void addRecentFile(const QString& path) = 0;
    // The device went away during a load (the conversation has ended, the comm thread
    // is back). True when the host has told the user and taken care of the port (the
    // document disconnects and waits for the device); false leaves the telling to
    // the load commands.
    virtual bool deviceLost() { return false; }
};
