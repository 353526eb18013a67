#include "LoadCommands.h"

#include "ControlChars.h"
#include "LoadImage.h"
#include "MonitorLine.h"
#include "PostLink.h"
#include "SettingsStore.h"
#include "UserFeedback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <new>

namespace loadcmd
{
const char* const kLoadFilter =
    "Common QXx Load Files (*.BIN;*.RUN;*.APP)|*.bin;*.run;*.app|PostLink and Load to RAM "
    "(*.BIN)|*.bin|RAM Application (*.RUN)|*.run|Flash Application (*.APP)|*.app|Flash Card "
    "Application (*.PXE)| *.pxe|Hex Files (*.S19;*.HEX;*.RHX;*.AHX)|*.S19;*.HEX;*.RHX;*.AHX|Batch "
    "Files (*.BAT)|*.bat|Text Files (*.TXT)|*.txt|All Files (*.*)|*.*||";
const char* const kLoadDefaultExtension = "*.BIN;*.APP;*.RUN";
const char* const kNotConnectedText = "Not connected";
const char* const kRedoLoadEmptyText =
    "You must do a PostLink and Load at least once before F5 will work.";
const char* const kRedoCpmEmptyText =
    "You must do a Load CPM68K at least once before F6 will work.";

QString MakeDosName(const QString& name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    QString dos = name;
    if (dot < 0)
        dos = name.left(8);
    else if (dot > 8)
        dos = name.left(8) + QLatin1Char('.') + name.mid(dot + 1);
    dos.replace(QLatin1Char(' '), QLatin1Char('_'));
    return dos;
}

QString upperPathForm(const QString& path)
{
    QString upper = path;
    for (int i = 0; i < upper.size() && i < 256; ++i) {
        const QChar c = upper.at(i);
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            upper[i] = QChar(c.unicode() - 'a' + 'A');
    }
    return upper;
}

QString folderOf(const QString& path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0 || slash == path.size() - 1)
        return QString();
    return path.left(slash + 1);
}

QStringList loadNameFilters()
{
    // "text|patterns|text|patterns||": Qt wants "text (patterns)" with blanks between.
    const QStringList parts = QString::fromLatin1(kLoadFilter).split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts.at(i).isEmpty())
            break;
        QString patterns = parts.at(i + 1).trimmed();
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        const QString text = parts.at(i).section(QLatin1Char('('), 0, 0).trimmed();
        filters << QStringLiteral("%1 (%2)").arg(text, patterns);
    }
    return filters;
}

QString defaultFolder()
{
    return QDir::homePath() + QLatin1Char('/');
}
} // namespace loadcmd

using namespace loadcmd;

namespace
{
const QString kLastPath = QStringLiteral("LastPath");
const QString kLoadCaption = QStringLiteral("LOAD");
const QString kAppTitle = QStringLiteral("Brennock");
constexpr int kSendStep = 16; // bytes per progress step of the byte-by-byte sends
using ascii::kEtx;
} // namespace

LoadCommands::LoadCommands(LoadHost& host, SettingsStore* settings, UserFeedback& feedback,
                           LoadProgressFactory progress)
    : host(host), store(settings), feedback(feedback), makeProgress(std::move(progress))
{
}

QString LoadCommands::readPath(const char* name) const
{
    return store ? store->readText(kLastPath, QString::fromLatin1(name), QString()) : QString();
}

void LoadCommands::writePath(const char* name, const QString& value)
{
    if (store)
        store->writeText(kLastPath, QString::fromLatin1(name), value);
}

QString LoadCommands::lastDir()
{
    QString dir = readPath("LastDir");
    if (dir.isEmpty()) {
        dir = defaultFolder();
        writePath("LastDir", dir);
    }
    return dir;
}

QString LoadCommands::lastExt()
{
    QString ext = readPath("LastExt");
    if (ext.isEmpty()) {
        ext = QStringLiteral("*.bin");
        writePath("LastExt", ext);
    }
    return ext;
}

void LoadCommands::rememberLoadExtension(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0)
        writePath("LastExt", QStringLiteral("*.") + name.mid(dot + 1));
}

void LoadCommands::rememberLoad(const QString& path)
{
    const QString dir = folderOf(path);
    writePath("LastDir", dir);
    writePath("LastLoad", path);
}

MonitorSession LoadCommands::makeSession(MonitorLine& line)
{
    MonitorSession session(
        line, feedback, host.rates(), [this](const QByteArray& text) { host.showInTerminal(text); },
        makeProgress);
    session.setTiming(timing);
    session.setSleepFunction(sleep);
    session.setDeviceLossHandler([this](const QString& reason) {
        deviceLossPending = true;
        deviceLossReason = reason;
    });
    return session;
}

bool LoadCommands::noteLineGone(MonitorLine& line)
{
    if (!line.deviceGone())
        return false;
    deviceLossPending = true;
    deviceLossReason = line.failureText();
    return tellDeviceLoss();
}

bool LoadCommands::tellDeviceLoss()
{
    if (!deviceLossPending)
        return false;
    deviceLossPending = false;
    if (!host.deviceLost())
        feedback.message(monitor::deviceGoneText(deviceLossReason), QStringLiteral("Error"),
                         MessageIcon::Warning);
    return true;
}

MonitorLine* LoadCommands::connectedLine()
{
    MonitorLine* line = host.line();
    if (!line)
        feedback.message(QString::fromLatin1(kNotConnectedText), kLoadCaption,
                         MessageIcon::Warning);
    return line;
}

void LoadCommands::pause(int ms)
{
    if (sleep)
        sleep(ms);
    else if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

std::unique_ptr<LoadProgress> LoadCommands::openProgress(const QString& title, const QString& text,
                                                         int high)
{
    return openLoadProgress(makeProgress, title, text, high);
}

bool LoadCommands::OnLoadAny(const QString& path)
{
    const QString upper = upperPathForm(path);
    const QString ext = upper.right(3);
    if (ext == QLatin1String("BIN"))
        return postLinkThenLoad(path, true, nullptr);
    if (ext == QLatin1String("APP") || ext == QLatin1String("RUN")) {
        writePath(ext == QLatin1String("APP") ? "LoadCPMSpec" : "PostLinkSpec", path);
        rememberLoad(path);
        return LoadCpm68kFile(path);
    }
    if (ext == QLatin1String("PXE"))
        return loadPxeFile(path);
    if (ext == QLatin1String("S19") || ext == QLatin1String("RHX") || ext == QLatin1String("AHX") ||
        ext == QLatin1String("HEX")) {
        const bool ok = loadHexFile(path);
        rememberLoad(path);
        return ok;
    }
    return captureSend(path);
}

// Converts the .BIN, then loads its .RUN. A conversion that failed has been
// reported by the converter; an older .RUN beside it is not loaded.
bool LoadCommands::postLinkThenLoad(const QString& path, bool storeLoadPaths,
                                    const char* runSpecKey)
{
    const postlink::PostLinkResult result = postlink::PostLink(path, feedback, makeProgress);
    if (result.basePath.isEmpty())
        return false;
    const QString runPath = [&] {
        const QString named = result.basePath + QStringLiteral(".RUN");
        const QString found = postlink::findFileAnyCase(named);
        return found.isEmpty() ? named : found;
    }();
    if (storeLoadPaths)
        rememberLoad(path);
    if (!result.succeeded)
        return false;
    // Only a .RUN that the conversion just made is remembered as the one to load.
    if (runSpecKey)
        writePath(runSpecKey, runPath);
    return LoadCpm68kFile(runPath);
}

bool LoadCommands::LoadCpm68kFile(const QString& path)
{
    host.addRecentFile(path);
    MonitorLine* line = connectedLine();
    if (!line)
        return false;
    bool ok = false;
    {
        const ReaderPauseGuard paused(host.readerControl());
        MonitorSession session = makeSession(*line);
        ok = session.SendCpm68kImage(path).ok();
    }
    if (tellDeviceLoss())
        return false;
    // The reader may not have come back (the connection is then closed).
    if (MonitorLine* again = host.line()) {
        const char space = ' ', bs = 0x08;
        again->write(&space, 1);
        pause(timing.afterLoadKeyMs);
        again->write(&bs, 1);
        pause(timing.afterLoadKeyMs);
    }
    return ok;
}

bool LoadCommands::loadHexFile(const QString& path)
{
    MonitorLine* line = connectedLine();
    if (!line)
        return false;
    bool ok = false;
    {
        const ReaderPauseGuard paused(host.readerControl());
        MonitorSession session = makeSession(*line);
        ok = session.SendHexFile(path).ok();
    }
    return !tellDeviceLoss() && ok;
}

bool LoadCommands::loadPxeFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        feedback.message(QStringLiteral("Cannot open file"), kLoadCaption, MessageIcon::Warning);
        return false;
    }
    QByteArray image;
    try {
        image = file.readAll();
    } catch (const std::bad_alloc&) {
        feedback.message(QStringLiteral("Cannot allocate buffer"), QStringLiteral("LOAD PXE"),
                         MessageIcon::Warning);
        return false;
    }
    file.close();
    MonitorLine* line = connectedLine();
    if (!line)
        return false;

    const QString upper = upperPathForm(path);
    const int slash = upper.lastIndexOf(QLatin1Char('/'));
    QString target;
    bool ok = false;
    {
        const ReaderPauseGuard paused(host.readerControl());
        if (slash < 0 || slash == upper.size() - 1) {
            feedback.message(upper, QString::fromLatin1(slash < 0 ? "ERROR PXE 2" : "ERROR PXE 1"),
                             MessageIcon::Warning);
            target = QStringLiteral("DEFAULT.PXE");
        } else {
            target = MakeDosName(upper.mid(slash + 1));
        }
        MonitorSession session = makeSession(*line);
        ok = pxeConversation(session, image, target);
    }
    if (tellDeviceLoss() || noteLineGone(*line))
        return false;
    if (ok)
        rememberLoad(path);
    return ok;
}

// The image at 0x10000, then CR and "GS " name CR to run it from the card.
bool LoadCommands::pxeConversation(MonitorSession& session, const QByteArray& image,
                                   const QString& target)
{
    if (session.MonitorLoad(image.constData(), image.size(), kPxeAddress).failed()) {
        if (!session.deviceGone())
            feedback.message(QStringLiteral("Load PXE Failed"),
                             QStringLiteral("DuVizEred/OnLoadAny()"), MessageIcon::Warning);
        return false;
    }
    bool sent = session.SendByte(monitor::kCr);
    pause(timing.commandSettleMs);
    sent = sent && session.SendText("GS ") && session.SendText(target.toLatin1().constData()) &&
           session.SendByte(monitor::kCr);
    if (session.deviceGone())
        return false;
    if (!sent)
        feedback.message(QStringLiteral("The image is loaded, but the command \"GS %1\" did not go "
                                        "out whole: it was not started.")
                             .arg(target),
                         QStringLiteral("Error"), MessageIcon::Warning);
    return sent;
}

// Sends the file byte by byte until its end, or (for text) until an ETX or a
// byte with bit 7 set, which is not sent. One progress step each time the bytes
// still to go are one more than a multiple of 16. Empty on success, else what
// went wrong.
QString LoadCommands::sendBytesPaced(MonitorLine& line, QFile& file, qint64 size, bool stopAtText,
                                     LoadProgress& progress)
{
    qint64 toGo = size;
    char byte = 0;
    while (file.getChar(&byte)) {
        if (stopAtText && (byte == kEtx || (uchar(byte) & 0x80)))
            break;
        if (line.write(&byte, 1) != 1)
            return sendFailureText(line, size - toGo, size);
        if (toGo % kSendStep == 1)
            progress.StepProgress();
        --toGo;
    }
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("%1 could not be read whole: %2")
            .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
    return QString();
}

QString LoadCommands::sendFailureText(MonitorLine& line, qint64 sent, qint64 size)
{
    return QStringLiteral("The send stopped after %1 of %2 bytes: %3")
        .arg(sent)
        .arg(size)
        .arg(line.failureText());
}

// A send that failed: the device loss once (by the host when it can), or the reason.
bool LoadCommands::reportSendFailure(MonitorLine& line, const QString& failure)
{
    if (!noteLineGone(line))
        feedback.message(failure, QStringLiteral("Error"), MessageIcon::Warning);
    return false;
}

bool LoadCommands::captureSend(const QString& path)
{
    const QString upper = upperPathForm(path);
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    QString name;
    QString target;
    if (slash < 0 || slash == path.size() - 1) {
        const bool noSlash = slash < 0;
        feedback.message(upper, QString::fromLatin1(noSlash ? "2" : "1"), MessageIcon::Warning);
        name = target = QString::fromLatin1(noSlash ? "2" : "1");
    } else {
        name = path.mid(slash + 1);
        target = MakeDosName(upper.mid(slash + 1));
    }
    const QString dir = folderOf(path);
    QFile file(dir + name);
    if (!file.open(QIODevice::ReadOnly)) {
        feedback.message(QStringLiteral("Cannot open [file] [directory]: [%1] [%2]").arg(name, dir),
                         kLoadCaption, MessageIcon::Warning);
        return false;
    }
    MonitorLine* line = connectedLine();
    if (!line)
        return false;
    const qint64 size = file.size();
    const std::unique_ptr<LoadProgress> progress = openProgress(
        QStringLiteral("Sending..."), QStringLiteral("%1 Bytes to [%2]").arg(size).arg(target),
        int(std::max<qint64>(size / kSendStep, 1)));

    // The comm thread keeps running: the target's echo shows in the terminal.
    const QByteArray command = "CAPTURE " + target.toLatin1() + " /D 3\r";
    QString failure;
    if (line->write("\r", 1) != 1)
        failure = QStringLiteral("The CAPTURE command did not go out: %1").arg(line->failureText());
    pause(timing.commandSettleMs);
    if (failure.isEmpty() && line->write(command.constData(), command.size()) != command.size())
        failure =
            QStringLiteral("The CAPTURE command did not go out whole: %1").arg(line->failureText());
    if (failure.isEmpty())
        failure = sendBytesPaced(*line, file, size, true, *progress);
    // The ETX ends the capture on the target even after a failed send.
    if (line->write(&kEtx, 1) != 1 && failure.isEmpty())
        failure = QStringLiteral("The closing ETX did not go out: %1").arg(line->failureText());
    file.close();
    if (!failure.isEmpty())
        return reportSendFailure(*line, failure);
    rememberLoad(path);
    return true;
}

bool LoadCommands::sendBinaryFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        feedback.message(QStringLiteral("Cannot open file"), kLoadCaption, MessageIcon::Warning);
        return false;
    }
    MonitorLine* line = connectedLine();
    if (!line)
        return false;
    const qint64 size = file.size();
    const std::unique_ptr<LoadProgress> progress = openProgress(
        QStringLiteral("Sending..."), QStringLiteral("%1 Bytes to serial port").arg(size),
        int(std::max<qint64>(size / kSendStep, 1)));
    const QString failure = sendBytesPaced(*line, file, size, false, *progress);
    return failure.isEmpty() || reportSendFailure(*line, failure);
}

bool LoadCommands::redoLastLoad()
{
    const QString last = readPath("LastLoad");
    if (last.isEmpty()) {
        feedback.message(QString::fromLatin1(kRedoLoadEmptyText), kAppTitle, MessageIcon::None);
        return false;
    }
    return OnLoadAny(last);
}

bool LoadCommands::redoLastLoadCpm68k()
{
    const QString last = readPath("LoadCPMSpec");
    if (last.isEmpty()) {
        feedback.message(QString::fromLatin1(kRedoCpmEmptyText), kAppTitle, MessageIcon::None);
        return false;
    }
    return LoadCpm68kFile(last);
}

bool LoadCommands::postLinkAndLoad(const QString& path)
{
    writePath("LastDir", folderOf(path));
    return postLinkThenLoad(path, false, "PostLinkSpec");
}

bool LoadCommands::postLinkOnly(const QString& path)
{
    writePath("LastDir", folderOf(path));
    return postlink::PostLink(path, feedback, makeProgress).succeeded;
}

bool LoadCommands::sendHexFileCommand(const QString& path)
{
    writePath("LoadHex", folderOf(path));
    return loadHexFile(path);
}

bool LoadCommands::sendCpm68kFileCommand(const QString& path)
{
    writePath("LoadCPM", folderOf(path));
    writePath("LoadCPMSpec", path);
    return LoadCpm68kFile(path);
}
