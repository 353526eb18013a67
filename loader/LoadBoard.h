// The progress of many loads at once on one stream (stderr), one row per port.
//
// On a terminal the rows stand at the bottom and are redrawn in place (cursor up, erase
// line) at most every kRedrawMs, each cut to the terminal's width so that none wraps
// and the cursor arithmetic holds; a port's message is printed above them. Otherwise (a
// log file, a pipe) every port writes plain lines prefixed with its name: one per tenth
// of each transfer's range, one per message, one when its load ends.
//
// Every port's thread reports through its own row (progressFor, feedbackFor); one mutex
// keeps the stream's lines whole and the rows' state consistent.
#pragma once

#include "LoadProgress.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

class UserFeedback;

class LoadBoard
{
public:
    static constexpr int kRedrawMs = 100;

    // live: redraw in place (stderr is a terminal).
    LoadBoard(std::FILE* out, bool live, const QStringList& portNames);
    // The rows stay as last drawn, the cursor below them.
    ~LoadBoard();
    LoadBoard(const LoadBoard&) = delete;
    LoadBoard& operator=(const LoadBoard&) = delete;

    // The progress of row's transfers, for that port's load commands.
    LoadProgressFactory progressFor(int row);
    // Where row's load tells the user what went wrong; lives as long as the board.
    UserFeedback& feedbackFor(int row);
    // Row's load has ended.
    void finish(int row, bool ok);

private:
    class RowProgress;
    class RowFeedback;
    struct Row {
        QString name;
        QString state;  // "starting", the last progress (bar first), or the ending
        int tenth = -1; // of the last progress; -1 before the first
    };

    void progressed(int row, const QString& bar, const QString& what, int tenth);
    void message(int row, const QString& text);
    // Both with the mutex held.
    void drawRows(bool force);
    void writeLine(int row, const QString& text);

    std::FILE* out;
    bool live;
    int nameWidth = 0;
    std::mutex mutex;
    std::vector<Row> rows;
    std::vector<std::unique_ptr<RowFeedback>> feedbacks;
    bool drawn = false;
    std::chrono::steady_clock::time_point lastDraw;
};
