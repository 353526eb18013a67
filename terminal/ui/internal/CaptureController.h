// The main frame's text capture commands: Start, Stop, Pause, Resume and Options...
// of Transfer > "Capture Text", the capture pane of the status bar, and the enabled
// state of the five entries. The capture itself (file, flags, questions) is
// TextCapture's; this class binds it to the window.
#pragma once

#include "TextCapture.h"

#include <QObject>

#include <memory>

class QAction;
class QLabel;
class QWidget;

struct CaptureActions {
    QAction* start = nullptr;
    QAction* stop = nullptr;
    QAction* pause = nullptr;
    QAction* resume = nullptr;
    QAction* options = nullptr;
};

// The view's text (line breaks as LF) as the bytes that were received for it, line
// breaks as CR LF: what Include Buffer Text writes.
QByteArray shownTextBytes(const QString& shown);

class CaptureController : public QObject
{
    Q_OBJECT

public:
    CaptureController(SettingsStore& settings, UserFeedback& feedback, QWidget* window,
                      TextCapture::BufferText bufferText);
    ~CaptureController() override;

    // Wires the entries and the pane, and sets their state.
    void bind(const CaptureActions& actions, QLabel* pane);

    TextCapture& capture() { return *textCapture; }
    // The questions of Start; the dialogs unless a test gives its own (not owned).
    void setPrompts(CapturePrompts* prompts) { promptsOverride = prompts; }

    void onStart();
    void onStop();
    void onPause();
    void onResume();
    void onOptions();

private:
    void updateState();

    SettingsStore& store;
    QWidget* window;
    TextCapture::BufferText bufferText;
    std::unique_ptr<TextCapture> textCapture;
    std::unique_ptr<CapturePrompts> dialogPrompts;
    CapturePrompts* promptsOverride = nullptr;
    CaptureActions entries;
    QLabel* pane = nullptr;
};
