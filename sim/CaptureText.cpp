#include "CaptureText.h"

#include "InstrumentWire.h"

#include <QSaveFile>

namespace qx2sim
{

using namespace wire;

void CaptureText::start(const QStringList& args)
{
    if (args.isEmpty()) {
        outLine(QStringLiteral("CAPTURE name [/D 3]"));
        prompt();
        return;
    }
    name = args[0];
    captureOptions = args.mid(1).join(QLatin1Char(' '));
    data.clear();
    note(QStringLiteral("CAPTURE %1 %2 starts").arg(name, captureOptions));
    // An unusable name still takes the text up to ETX, so that it does not run as commands.
    core.active = Activity::Capture;
}

int CaptureText::consume(const char* p, int n)
{
    int i = 0;
    while (i < n && static_cast<unsigned char>(p[i]) != kETX)
        ++i;
    const QByteArray text(p, i);
    if (data.size() + text.size() <= kMaxCapture)
        data += text;
    out(text);
    if (i < n) {
        finish();
        return i + 1;
    }
    return n;
}

void CaptureText::finish()
{
    core.active = Activity::Line;
    QString where;
    QString why;
    if (storeFile(name, data, &where, &why)) {
        CardFileRecord rec;
        rec.kind = CardFileRecord::Captured;
        rec.cardPath = where;
        rec.size = data.size();
        rec.announced = data.size();
        rec.options = captureOptions;
        rec.settings = io->lineSettings();
        model.cardFiles.append(rec);
        note(QStringLiteral("CAPTURE stored %1 (%2 bytes)").arg(where).arg(data.size()));
        out("\r\n");
        outLine(QStringLiteral("%1 bytes captured to %2").arg(data.size()).arg(name));
    } else {
        note(QStringLiteral("CAPTURE %1 not stored: %2").arg(name, why));
        out("\r\n");
        outLine(QStringLiteral("CAPTURE %1 failed: %2").arg(name, why));
    }
    data.clear();
    prompt();
}

bool CaptureText::storeFile(const QString& name, const QByteArray& bytes, QString* cardPath,
                            QString* why)
{
    const QStringList& cwd = core.cwd;
    if (!isPlainName(name)) {
        *why = QStringLiteral("invalid file name");
        return false;
    }
    if (!card->findEntry(cwd, name, true).isEmpty()) {
        *why = QStringLiteral("a directory has that name");
        return false;
    }
    const QString existing = card->findEntry(cwd, name, false);
    const QString stored = existing.isEmpty() ? name : existing;
    const QString path = card->hostPath(cwd) + QLatin1Char('/') + stored;
    // The card's file system keeps a folder's date when files change in it.
    const QDateTime folderStamp = modifiedUtc(card->hostPath(cwd));
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
        *why = f.errorString();
        return false;
    }
    setModificationTime(path, clock());
    setModificationTime(card->hostPath(cwd), folderStamp);
    *cardPath = CardTree::cardPath(cwd + QStringList{stored});
    return true;
}

} // namespace qx2sim
