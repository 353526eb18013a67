#include "TextCapture.h"

#include "SettingsStore.h"
#include "UserFeedback.h"

#include <QDir>

#include <cstring>

namespace
{
const QString kTransfer = QStringLiteral("Transfer");
const QString kPromptForFilename = QStringLiteral("Prompt For Filename");
const QString kPromptPathName = QStringLiteral("Prompt Path Name");
const QString kWriteMode = QStringLiteral("Write Mode");
const QString kIncludeBuffer = QStringLiteral("Include Buffer Text");
const QString kTimestamps = QStringLiteral("Capture Timestamps");
const QString kWindowsDefaultName = QStringLiteral("C:\\CAPTURE.TXT");
const QString kHomeFileName = QStringLiteral("CAPTURE.TXT");

constexpr int kOverwrite = 2;
constexpr int kAppend = 3;
constexpr int kIncludeYes = 2;
constexpr int kIncludeNo = 3;
} // namespace

CaptureChoices CaptureChoices::read(const SettingsStore& settings)
{
    CaptureChoices choices;
    choices.promptForFilename = settings.readInt(kTransfer, kPromptForFilename, 1);
    choices.pathName = settings.readText(kTransfer, kPromptPathName, QString());
    choices.writeMode = settings.readInt(kTransfer, kWriteMode, 1);
    choices.includeBuffer = settings.readInt(kTransfer, kIncludeBuffer, 1);
    choices.timestamps = settings.readInt(kTransfer, kTimestamps, 0) == 1;
    return choices;
}

void CaptureChoices::store(SettingsStore& settings) const
{
    settings.writeInt(kTransfer, kPromptForFilename, promptForFilename);
    settings.writeText(kTransfer, kPromptPathName, pathName);
    settings.writeInt(kTransfer, kWriteMode, writeMode);
    settings.writeInt(kTransfer, kIncludeBuffer, includeBuffer);
    settings.writeInt(kTransfer, kTimestamps, timestamps ? 1 : 0);
}

QString captureFilePath(const QString& storedName)
{
    const QString name = storedName.trimmed();
    if (name.isEmpty() || name.compare(kWindowsDefaultName, Qt::CaseInsensitive) == 0)
        return QDir::home().filePath(kHomeFileName);
    return QDir::cleanPath(QDir::home().absoluteFilePath(name));
}

TextCapture::TextCapture(SettingsStore& settings, UserFeedback& feedback, QObject* parent)
    : QObject(parent), store(settings), feedback(feedback)
{
    connect(&file, &CaptureFile::writeFailed, this, &TextCapture::failWrite);
}

TextCapture::~TextCapture()
{
    file.close(); // an error here has nobody left to hear it
}

bool TextCapture::start(CapturePrompts& prompts, const BufferText& bufferText)
{
    if (on)
        return true;
    const CaptureChoices choices = CaptureChoices::read(store);

    QString name;
    if (choices.promptForFilename == 2) {
        name = choices.pathName;
    } else if (!prompts.askFileName(&name) || name.trimmed().isEmpty()) {
        return false;
    }

    int mode = choices.writeMode;
    if (mode != kOverwrite && mode != kAppend && !prompts.askWriteMode(&mode))
        return false;

    bool include = choices.includeBuffer == kIncludeYes;
    if (choices.includeBuffer != kIncludeYes && choices.includeBuffer != kIncludeNo &&
        !prompts.askIncludeBuffer(&include))
        return false;

    QByteArray shown;
    if (include && !bufferText(&shown))
        return false; // no view to take the text from: as after a cancel

    const QString path = captureFilePath(name);
    if (!file.open(path,
                   mode == kAppend ? CaptureFile::Mode::Append : CaptureFile::Mode::Overwrite)) {
        feedback.message(QStringLiteral("Cannot open the capture file %1:\r%2")
                             .arg(QDir::toNativeSeparators(path), file.errorString()),
                         QStringLiteral("Error"), MessageIcon::Warning);
        return false;
    }
    setState(true, false);
    // The text already shown has no times to give: it goes in as it is.
    stamps = false;
    write(shown.constData(), shown.size());
    stamps = choices.timestamps;
    stamper.setAtLineStart(shown.isEmpty() || shown.endsWith('\n'));
    return on;
}

void TextCapture::stop()
{
    if (!on)
        return;
    const bool written = file.close();
    setState(false, false);
    if (!written)
        failWrite(file.errorString());
}

void TextCapture::pause()
{
    if (on && !isPaused) {
        // What came before the pause is on disk while the user looks.
        if (!file.flush()) {
            failWrite(file.errorString());
            return;
        }
        setState(true, true);
    }
}

void TextCapture::resume()
{
    if (on && isPaused)
        setState(true, false);
}

void TextCapture::write(const char* bytes, int count)
{
    if (!on || isPaused || !file.isOpen() || count <= 0)
        return;
    QByteArray withStamps;
    if (stamps) {
        withStamps = stamper.stamped(bytes, count);
        bytes = withStamps.constData();
        count = withStamps.size();
    }
    bool written = true;
    if (!std::memchr(bytes, 0, size_t(count))) {
        written = file.write(bytes, count);
    } else {
        // The view shows no NUL; the file holds what is shown.
        QByteArray text(bytes, count);
        text.replace('\0', QByteArray());
        written = file.write(text.constData(), text.size());
    }
    if (!written)
        failWrite(file.errorString());
}

void TextCapture::failWrite(const QString& reason)
{
    const QString path = QDir::toNativeSeparators(file.fileName());
    file.close(); // the buffer is dropped with the failed write
    setState(false, false);
    feedback.message(
        QStringLiteral("Cannot write the capture file %1:\r%2\rCapture is off.").arg(path, reason),
        QStringLiteral("Error"), MessageIcon::Warning);
}

void TextCapture::setState(bool capturing, bool pausedNow)
{
    if (on == capturing && isPaused == pausedNow)
        return;
    on = capturing;
    isPaused = pausedNow;
    emit stateChanged();
}
