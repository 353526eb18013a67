#include "CaptureController.h"

#include "CaptureDialogs.h"
#include "Cp437.h"
#include "SettingsStore.h"

#include <QAction>
#include <QLabel>

QByteArray shownTextBytes(const QString& shown)
{
    QByteArray bytes;
    bytes.reserve(shown.size() + shown.count(QLatin1Char('\n')));
    for (const QChar ch : shown) {
        unsigned char byte = 0;
        if (ch == QLatin1Char('\n'))
            bytes.append("\r\n");
        else if (ch == QLatin1Char('\r'))
            bytes.append('\r');
        else
            bytes.append(cp437::byteForDisplayChar(ch, &byte) ? static_cast<char>(byte) : '?');
    }
    return bytes;
}

CaptureController::CaptureController(SettingsStore& settings, UserFeedback& feedback,
                                     QWidget* window, TextCapture::BufferText bufferText)
    : QObject(window), store(settings), window(window), bufferText(std::move(bufferText)),
      textCapture(std::make_unique<TextCapture>(settings, feedback)),
      dialogPrompts(std::make_unique<DialogCapturePrompts>(window))
{
    connect(textCapture.get(), &TextCapture::stateChanged, this, &CaptureController::updateState);
}

CaptureController::~CaptureController() = default;

void CaptureController::bind(const CaptureActions& actions, QLabel* capturePane)
{
    entries = actions;
    pane = capturePane;
    connect(entries.start, &QAction::triggered, this, &CaptureController::onStart);
    connect(entries.stop, &QAction::triggered, this, &CaptureController::onStop);
    connect(entries.pause, &QAction::triggered, this, &CaptureController::onPause);
    connect(entries.resume, &QAction::triggered, this, &CaptureController::onResume);
    connect(entries.options, &QAction::triggered, this, &CaptureController::onOptions);
    updateState();
}

void CaptureController::onStart()
{
    CapturePrompts& prompts = promptsOverride ? *promptsOverride : *dialogPrompts;
    textCapture->start(prompts, bufferText);
}

void CaptureController::onStop()
{
    textCapture->stop();
}

void CaptureController::onPause()
{
    textCapture->pause();
}

void CaptureController::onResume()
{
    textCapture->resume();
}

void CaptureController::onOptions()
{
    if (textCapture->capturing())
        return;
    CaptureOptionsDialog dialog(CaptureChoices::read(store), window);
    if (dialog.exec() == QDialog::Accepted)
        dialog.choices().store(store);
}

void CaptureController::updateState()
{
    const bool on = textCapture->capturing();
    const bool paused = textCapture->paused();
    if (entries.start) {
        entries.start->setEnabled(!on);
        entries.stop->setEnabled(on);
        entries.pause->setEnabled(on && !paused);
        entries.resume->setEnabled(on && paused);
        entries.options->setEnabled(!on);
    }
    if (pane)
        pane->setText(on ? QStringLiteral("CAPTURE ON") : QStringLiteral("CAPTURE OFF"));
}
