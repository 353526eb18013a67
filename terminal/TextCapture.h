// Text capture: copies what the terminal shows into a text file while it is on.
//
// The stored choices ("Transfer" section) say whether Start asks for the file name,
// the write mode and whether to include the text already shown; 1 (or anything but
// the fixed answers) means ask. The questions go through CapturePrompts, so the
// window asks with dialogs and tests answer in code; a Cancel at any of them leaves
// capture off and no file touched.
//
// Unlike the old program, a file that cannot be opened or written is reported with
// the system's reason (through UserFeedback) and capture stops: silence there would
// be a failure reported as nothing.
#pragma once

#include "CaptureFile.h"
#include "LineStamper.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class SettingsStore;
class UserFeedback;

// The "Transfer" values as stored.
struct CaptureChoices {
    int promptForFilename = 1; // 2: use pathName
    QString pathName;          // "Prompt Path Name"
    int writeMode = 1;         // 2 overwrite, 3 append, else ask
    int includeBuffer = 1;     // 2 yes, 3 no, else ask
    bool timestamps = false;   // "Capture Timestamps" 1: each line starts with its time

    static CaptureChoices read(const SettingsStore& settings);
    void store(SettingsStore& settings) const;
};

// The stored default "C:\CAPTURE.TXT" names no file on this system: it (and an empty
// name) means CAPTURE.TXT in the user's home folder. Other names are used as given,
// relative ones from the home folder.
QString captureFilePath(const QString& storedName);

// The questions of Start, in the order they are asked. Each returns false for Cancel.
class CapturePrompts
{
public:
    virtual ~CapturePrompts() = default;
    virtual bool askFileName(QString* fileName) = 0;
    virtual bool askWriteMode(int* mode) = 0; // 2 overwrite, 3 append
    virtual bool askIncludeBuffer(bool* include) = 0;
};

class TextCapture : public QObject
{
    Q_OBJECT

public:
    // The text already shown, line breaks CR LF, as bytes; false when there is no
    // view to take it from.
    using BufferText = std::function<bool(QByteArray* text)>;

    TextCapture(SettingsStore& settings, UserFeedback& feedback, QObject* parent = nullptr);
    ~TextCapture() override; // stops a running capture: the file is written out

    // Start: asks what the stored choices leave open, opens the file, writes the
    // buffer text when wanted. Returns true when capture is on.
    bool start(CapturePrompts& prompts, const BufferText& bufferText);
    void stop();
    void pause();
    void resume();

    // The capture writer: a run the view shows. Written only while on and not paused.
    void write(const char* bytes, int count);

    bool capturing() const { return on; }
    bool paused() const { return isPaused; }
    QString filePath() const { return file.fileName(); }
    // The stamps' clock, for tests.
    void setStampClock(LineStamper::Clock clock) { stamper.setClock(std::move(clock)); }
    // Shortens the flush deadline for tests.
    void setFlushInterval(int ms) { file.setFlushInterval(ms); }

signals:
    void stateChanged();

private:
    void failWrite(const QString& reason);
    void setState(bool capturing, bool pausedNow);

    SettingsStore& store;
    UserFeedback& feedback;
    CaptureFile file;
    LineStamper stamper;
    bool stamps = false;
    bool on = false;
    bool isPaused = false;
};
