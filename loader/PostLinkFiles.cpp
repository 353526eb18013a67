// The converter's file side: finding the inputs in any letter case, writing
// each output atomically, and the run over the load types.
#include "PostLink.h"

#include "UserFeedback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace postlink
{

QStringList PostLinkResult::written() const
{
    QStringList all;
    for (const LoadTypeOutcome& t : types)
        all += t.written;
    return all;
}

int basePathCut(const QString& path)
{
    for (const char* ext : {".BIN", ".bin", ".Bin"}) {
        const int at = path.indexOf(QLatin1String(ext));
        if (at >= 0)
            return at;
    }
    return -1;
}

// Resolves path to an existing entry (a directory when wantDir), preferring
// the exact spelling and then the first case-insensitive match in name order.
static QString resolveAnyCase(const QString& path, bool wantDir)
{
    if (path.isEmpty())
        return QString();
    // Only regular files: reading a FIFO or a device would never end.
    const QFileInfo exact(path);
    if (wantDir ? exact.isDir() : exact.isFile())
        return path;

    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString name = path.mid(slash + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    QString prefix;
    QString listDir = QStringLiteral(".");
    if (slash == 0) {
        prefix = listDir = QStringLiteral("/");
    } else if (slash > 0) {
        const QString parent = resolveAnyCase(path.left(slash), true);
        if (parent.isEmpty())
            return QString();
        listDir = parent;
        prefix = parent + QLatin1Char('/');
    }

    const QDir::Filters filter =
        (wantDir ? QDir::Dirs : QDir::Files) | QDir::Hidden | QDir::NoDotAndDotDot;
    const QStringList entries = QDir(listDir).entryList(filter, QDir::Name);
    for (const QString& entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return prefix + entry;
    }
    return QString();
}

QString findFileAnyCase(const QString& path)
{
    return resolveAnyCase(path, false);
}

PostLinkSource locateSource(const QString& path)
{
    PostLinkSource s;
    const int cut = basePathCut(path);
    if (cut < 0)
        return s;
    const QString base = path.left(cut);
    s.basePath = base;
    s.binPath = findFileAnyCase(base + path.mid(cut, 4));
    if (!s.binPath.isEmpty()) {
        // Outputs go beside the file actually found, under the name as given.
        const QString dir = s.binPath.left(s.binPath.lastIndexOf(QLatin1Char('/')) + 1);
        s.basePath = dir + base.mid(base.lastIndexOf(QLatin1Char('/')) + 1);
    }
    s.mapPath = findFileAnyCase(s.basePath + QLatin1String(".MAP"));
    return s;
}

// The permission bits a newly created file gets (mkstemp would give 0600).
static mode_t newFileMode()
{
    mode_t mask = 022;
    // umask() cannot be read without setting it, which would race with other threads.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint v = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    mask = mode_t(v);
            }
        }
    }
    return mode_t(0666 & ~mask);
}

namespace
{
OutputWriteFault& writeFault()
{
    static OutputWriteFault fault;
    return fault;
}
} // namespace

void setOutputWriteFault(OutputWriteFault fault)
{
    writeFault() = std::move(fault);
}

int WriteOutputFile(const QByteArrayList& parts, const QString& basePath, const QString& extension)
{
    const QByteArray target = QFile::encodeName(basePath + extension);
    QByteArray temp = target + ".tmp-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return errno;

    auto abandon = [&](int error) {
        ::close(fd);
        ::unlink(temp.constData());
        return error;
    };
    if (writeFault()) {
        if (const int injected = writeFault()(basePath + extension))
            return abandon(injected);
    }
    for (const QByteArray& part : parts) {
        const char* p = part.constData();
        qint64 left = part.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, p, size_t(left));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return abandon(errno);
            }
            if (n == 0)
                return abandon(EIO);
            p += n;
            left -= n;
        }
    }
    if (::fchmod(fd, newFileMode()) != 0)
        return abandon(errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.constData());
        return error;
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        const int error = errno;
        ::unlink(temp.constData());
        return error;
    }
    return 0;
}

static QString cannotWrite(const QString& file, int error)
{
    return QStringLiteral("Cannot write %1: %2.").arg(file, systemErrorText(error));
}

void RelocateMapFile(const PostLinkSource& source, const HeaderRecord& header,
                     const QString& mapExtension, LoadTypeOutcome& outcome)
{
    if (source.mapPath.isEmpty())
        return; // no listing: nothing to relocate
    QFile in(source.mapPath);
    if (!in.open(QIODevice::ReadOnly)) {
        outcome.warnings << QStringLiteral("The map %1 cannot be read: %2.")
                                .arg(source.mapPath, in.errorString());
        return;
    }
    if (in.size() > kMaxBinSize) {
        outcome.warnings
            << QStringLiteral("The map %1 is too large to convert.").arg(source.mapPath);
        return;
    }
    QByteArray text;
    try {
        text = in.readAll();
    } catch (const std::bad_alloc&) {
        outcome.warnings
            << QStringLiteral("Not enough memory to convert the map %1.").arg(source.mapPath);
        return;
    }

    const MapRelocation r = RelocateMapText(text, header.codeBase(), header.a5Address());
    const QString target = source.basePath + mapExtension;
    const int error = WriteOutputFile({text}, source.basePath, mapExtension);
    if (error) {
        outcome.warnings << cannotWrite(target, error);
        return;
    }
    outcome.written << target;
    if (r.skipped > 0)
        outcome.warnings << QStringLiteral("%1: %2 map entries were left unchanged (no number, "
                                           "or an address beyond 0xFFFFFF).")
                                .arg(target)
                                .arg(r.skipped);
}

int ReadBinFile(const QString& binPath, QByteArray& bytes, QString& detail)
{
    if (binPath.isEmpty()) {
        detail = QStringLiteral("No such file, in any letter case.");
        return CannotOpenBin;
    }
    QFile f(binPath);
    if (!f.open(QIODevice::ReadOnly)) {
        detail = QStringLiteral("Cannot open %1: %2.").arg(binPath, f.errorString());
        return CannotOpenBin;
    }
    if (f.size() > kMaxBinSize) {
        detail = QStringLiteral("%1 holds %2 bytes, more than the converter reads (%3).")
                     .arg(binPath)
                     .arg(f.size())
                     .arg(kMaxBinSize);
        return NotEnoughMemory;
    }
    try {
        bytes = f.readAll();
    } catch (const std::bad_alloc&) {
        detail = QStringLiteral("No memory to read %1.").arg(binPath);
        return NotEnoughMemory;
    }
    if (f.error() != QFileDevice::NoError) {
        detail = QStringLiteral("Cannot read %1: %2.").arg(binPath, f.errorString());
        return CannotOpenBin;
    }
    return Ok;
}

LoadTypeOutcome ConvertLoadType(const PostLinkSource& source, ByteSpan binFile, int type)
{
    LoadTypeOutcome outcome;
    outcome.type = type;
    LoadImage img;
    const ConversionError built = BuildLoadImage(binFile, type, img);
    if (built.failed()) {
        outcome.error = built.code;
        outcome.detail = built.detail;
        return outcome;
    }

    RelocateMapFile(source, img.header, img.mapExtension, outcome);

    const ByteSpan image(img.image.constData(), img.image.size());
    QByteArray srec;
    const int srecError = WriteSRecords(image, img.header.textStart(), srec);
    if (srecError) {
        outcome.error = srecError;
        outcome.detail =
            QStringLiteral("The S-records cannot be built: %1.").arg(errorText(srecError));
        return outcome;
    }
    // A missing S-record file is a failed conversion too: the user asked for it.
    const QString srecFile = source.basePath + img.srecExtension;
    int error = WriteOutputFile({srec}, source.basePath, img.srecExtension);
    if (error) {
        outcome.systemError = error;
        outcome.detail = cannotWrite(srecFile, error);
        return outcome;
    }
    outcome.written << srecFile;
    srec.clear();

    const QString cpmFile = source.basePath + img.cpmExtension;
    error = WriteOutputFile({BuildCpm68kHeader(img.header), img.image}, source.basePath,
                            img.cpmExtension);
    if (error) {
        outcome.systemError = error;
        outcome.detail = cannotWrite(cpmFile, error);
        return outcome;
    }
    outcome.written << cpmFile;
    return outcome;
}

LoadTypeOutcome ConvertLoadType(const PostLinkSource& source, int type)
{
    QByteArray bin;
    LoadTypeOutcome outcome;
    outcome.type = type;
    outcome.error = ReadBinFile(source.binPath, bin, outcome.detail);
    if (outcome.error)
        return outcome;
    return ConvertLoadType(source, ByteSpan(bin.constData(), bin.size()), type);
}

QString failureMessage(const PostLinkResult& result, const LoadTypeOutcome& failed)
{
    QString text = failed.systemError != 0
                       ? QStringLiteral("PostLink of %1 failed for load type %2.\r"
                                        "System error %3: %4.")
                             .arg(result.inputPath)
                             .arg(failed.type)
                             .arg(failed.systemError)
                             .arg(systemErrorText(failed.systemError))
                       : QStringLiteral("PostLink of %1 failed for load type %2.\rError %3: %4.")
                             .arg(result.inputPath)
                             .arg(failed.type)
                             .arg(failed.error)
                             .arg(errorText(failed.error));
    if (!failed.detail.isEmpty())
        text += QLatin1Char('\r') + failed.detail;
    return text;
}

PostLinkResult PostLink(const QString& path, UserFeedback& feedback,
                        const LoadProgressFactory& makeProgress)
{
    PostLinkResult result;
    if (basePathCut(path) < 0) {
        feedback.message(QStringLiteral("Invalid .BIN file!"), QStringLiteral("Error"),
                         MessageIcon::Warning);
        return result;
    }
    result.nameValid = true;
    const PostLinkSource source = locateSource(path);
    result.basePath = source.basePath;
    result.inputPath = source.binPath.isEmpty() ? path : source.binPath;

    {
        std::unique_ptr<LoadProgress> progress = makeProgress ? makeProgress() : nullptr;
        if (!progress)
            progress = std::make_unique<NullLoadProgress>();
        progress->OpenProgress();
        progress->SetProgressTitle(QStringLiteral("Brennock PostLink"));
        progress->SetProgressText(source.basePath);
        progress->SetProgressRange(0, 3);
        progress->SetProgressStep(1);
        progress->SetProgressPos(0);

        QByteArray bin;
        QString readDetail;
        const int readError = ReadBinFile(source.binPath, bin, readDetail);
        for (int type = 1; type <= 3; ++type) {
            LoadTypeOutcome outcome;
            if (readError) {
                outcome.type = type;
                outcome.error = readError;
                outcome.detail = readDetail;
            } else {
                outcome = ConvertLoadType(source, ByteSpan(bin.constData(), bin.size()), type);
            }
            progress->StepProgress();
            result.types << outcome;
            if (outcome.failed() && !outcome.missingType())
                break;
        }
        progress->StepProgress();
    } // the progress display closes before any message box

    const LoadTypeOutcome* failed = nullptr;
    int converted = 0;
    for (const LoadTypeOutcome& t : result.types) {
        if (!t.failed())
            ++converted;
        else if (!t.missingType() && !failed)
            failed = &t;
    }
    if (failed) {
        feedback.message(failureMessage(result, *failed), QStringLiteral("Error"),
                         MessageIcon::Warning);
    } else if (converted == 0) {
        feedback.message(QStringLiteral("%1 defines none of the load types 1, 2 and 3.\r"
                                        "Nothing was converted.")
                             .arg(result.inputPath),
                         QStringLiteral("Error"), MessageIcon::Warning);
    }
    result.succeeded = !failed && converted > 0;
    return result;
}

} // namespace postlink
