// Edit > "Paste Date & Time...": the dialog with the four formats, and the command
// that types the chosen text into the instrument one character at a time.
#pragma once

#include "DateTimeText.h"

#include <QDialog>

#include <functional>

class CBrennockDoc;
class QButtonGroup;
class SettingsStore;

// "Paste Date & Time": group "Choose Format to Send Date and Time", four radio
// buttons, OK and Cancel.
class PasteDateTimeDialog : public QDialog
{
    Q_OBJECT

public:
    PasteDateTimeDialog(int format, QWidget* parent = nullptr);
    int format() const;
    void setFormat(int format);

private:
    QButtonGroup* formats;
};

// The command: ask, store the choice, read the clock once, then SendChar each byte
// with a pause of about a millisecond between them while the window keeps handling
// events (received text is shown as the characters go out).
class DateTimePaster
{
public:
    static constexpr int kCharPauseMs = 1;

    using Pause = std::function<void(int ms)>;

    DateTimePaster();
    void setClock(LocalClock clock) { readClock = std::move(clock); }
    void setPause(Pause pause) { pauseFor = std::move(pause); }

    // Returns false when the user cancelled, or while a paste is still typing (the
    // window handles events between characters, so the menu can be used again).
    bool run(QWidget* parent, CBrennockDoc& doc, SettingsStore& settings);
    // Types text with SendChar, pausing between characters.
    void type(CBrennockDoc& doc, const QByteArray& text);

private:
    LocalClock readClock;
    Pause pauseFor;
    bool typing = false;
};

// Waits ms while the event loop runs: the pause between typed characters.
void pauseHandlingEvents(int ms);
