#include "PortLock.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{
const char kLockDirectory[] = "/run/lock";
// A lock file without a PID is given this long to be finished by its writer before
// it counts as the remains of a crash.
constexpr qint64 kUnfinishedFileGraceMs = 2000;

bool processAlive(qint64 pid)
{
    // EPERM: alive, only another user's.
    if (pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno != EPERM))
        return false;
    // A zombie has ended and closed its port; only its parent has yet to collect it.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.read(512); // "pid (comm) S ...", comm may hold ')'
    const int nameEnd = text.lastIndexOf(')');
    return nameEnd < 0 || text.mid(nameEnd + 2, 1) != "Z";
}

QString programOf(qint64 pid, const QByteArray& lockText)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (comm.open(QIODevice::ReadOnly)) {
        const QByteArray name = comm.readAll().trimmed();
        if (!name.isEmpty())
            return QString::fromLocal8Bit(name);
    }
    // Qt's lock files name the program on their second line.
    const QList<QByteArray> lines = lockText.split('\n');
    return lines.size() > 1 ? QString::fromLocal8Bit(lines.at(1).trimmed()) : QString();
}

QByteArray readSmall(const QString& path, bool* ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.read(256) : QByteArray();
}

// The process that holds a flock on the file behind fd, from /proc/locks; 0 if none is
// listed. Lines look like "3: FLOCK  ADVISORY  WRITE 4711 00:19:7 0 EOF".
qint64 flockHolderOf(int fd)
{
    struct stat st {
    };
    if (::fstat(fd, &st) != 0)
        return 0;
    const QByteArray id = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                          QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                          QByteArray::number(qulonglong(st.st_ino));
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    // A proc file has no size (atEnd() is true at once): read it in one bounded go.
    const QByteArray table = locks.read(4 << 20);
    for (const QByteArray& line : table.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // A waiter's line has "->" after its number; it holds nothing.
        if (fields.size() < 6 || fields.at(1) != "FLOCK")
            continue;
        if (fields.at(5) == id)
            return fields.at(4).toLongLong();
    }
    return 0;
}
} // namespace

PortLock::PortLock(const QString& device) : lockPath(lockFilePathOf(device)) {}

PortLock::~PortLock()
{
    release();
}

QString PortLock::lockFilePathOf(const QString& device)
{
    QString path = QFileInfo(device).canonicalFilePath();
    if (path.isEmpty())
        path = device;
    if (path.startsWith(QLatin1String("/dev/")))
        path = path.mid(5);
    path.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QString::fromLatin1(kLockDirectory) + QStringLiteral("/LCK..") + path;
}

qint64 PortLock::pidOfLockText(const QByteArray& text)
{
    bool ok = false;
    const qint64 pid = text.left(text.indexOf('\n')).trimmed().toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

PortLock::FileState PortLock::inspectFile()
{
    bool readable = false;
    const QByteArray text = readSmall(lockPath, &readable);
    if (!readable)
        return QFileInfo::exists(lockPath) ? FileState::Unreadable : FileState::Free;
    const qint64 pid = pidOfLockText(text);
    if (pid == 0) {
        const QDateTime written = QFileInfo(lockPath).lastModified();
        if (written.msecsTo(QDateTime::currentDateTime()) > kUnfinishedFileGraceMs)
            return FileState::Stale;
        busyHolder = Holder{};
        return FileState::Held;
    }
    if (!processAlive(pid))
        return FileState::Stale;
    busyHolder = Holder{pid, programOf(pid, text)};
    return FileState::Held;
}

bool PortLock::fileIsFree()
{
    busyHolder = Holder{};
    switch (inspectFile()) {
    case FileState::Held:
        return false;
    case FileState::Stale:
        // Failure ignored on purpose: the lock directory may not be ours to change;
        // then the next program's own check decides.
        QFile::remove(lockPath);
        return true;
    case FileState::Free:
    case FileState::Unreadable:
        return true;
    }
    return true;
}

bool PortLock::takeFile()
{
    busyHolder = Holder{};
    if (ownFile)
        return true;
    // Written whole under a name of its own, then linked to the lock's name, which
    // fails while any lock file is there: nobody ever reads a half-written lock.
    const QByteArray content =
        QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n';
    const QByteArray finalName = QFile::encodeName(lockPath);
    const QByteArray tempName = finalName + ".tmp" + QByteArray::number(qint64(::getpid()));
    const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return fileIsFree(); // no say in the lock directory: only look
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    bool taken = false;
    for (int attempt = 0; written && attempt < 3 && !taken; ++attempt) {
        if (::link(tempName.constData(), finalName.constData()) == 0) {
            taken = true;
            break;
        }
        if (errno != EEXIST)
            break;
        const FileState state = inspectFile();
        if (state == FileState::Held) {
            ::unlink(tempName.constData());
            return false;
        }
        if (state == FileState::Stale)
            ::unlink(finalName.constData());
    }
    ::unlink(tempName.constData());
    ownFile = taken;
    // A lock file that could not be made is no refusal: the device lock still holds.
    return true;
}

bool PortLock::lockDevice(int fd)
{
    busyHolder = Holder{};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    const qint64 pid = flockHolderOf(fd);
    busyHolder = Holder{pid, pid > 0 ? programOf(pid, QByteArray()) : QString()};
    return false;
}

void PortLock::release()
{
    if (!ownFile)
        return;
    ownFile = false;
    bool readable = false;
    // Only our own: a lock file some other program put there since stays.
    if (pidOfLockText(readSmall(lockPath, &readable)) == qint64(::getpid()))
        QFile::remove(lockPath);
}

QString PortLock::busyText() const
{
    if (busyHolder.pid <= 0)
        return QStringLiteral("The port is in use by another program.");
    const QString who =
        busyHolder.program.isEmpty() ? QStringLiteral("another program") : busyHolder.program;
    return QStringLiteral("The port is in use by %1 (PID %2).").arg(who).arg(busyHolder.pid);
}
