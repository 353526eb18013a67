#include "CaptureFile.h"

CaptureFile::CaptureFile(QObject* parent) : QObject(parent)
{
    // A deadline, not a quiet-line timer: text that keeps arriving is still written
    // out within the interval.
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(kFlushIntervalMs);
    connect(&flushTimer, &QTimer::timeout, this, &CaptureFile::flushOnTimer);
}

CaptureFile::~CaptureFile()
{
    close();
}

bool CaptureFile::open(const QString& path, Mode mode)
{
    close();
    lastError.clear();
    file.setFileName(path);
    // Unbuffered: our own buffer decides when bytes reach the system.
    QIODevice::OpenMode flags = QIODevice::WriteOnly | QIODevice::Unbuffered;
    flags |= mode == Mode::Append ? QIODevice::Append : QIODevice::Truncate;
    if (!file.open(flags)) {
        lastError = file.errorString();
        return false;
    }
    return true;
}

bool CaptureFile::write(const char* bytes, int count)
{
    if (!file.isOpen() || count <= 0)
        return true;
    buffer.append(bytes, count);
    if (buffer.size() >= kBufferLimit)
        return flush();
    if (!flushTimer.isActive())
        flushTimer.start();
    return true;
}

bool CaptureFile::flush()
{
    flushTimer.stop();
    if (!file.isOpen() || buffer.isEmpty())
        return true;
    const qint64 written = file.write(buffer);
    const bool ok = written == buffer.size();
    if (!ok)
        lastError = written < 0 ? file.errorString()
                                : QStringLiteral("Only %1 of %2 bytes could be written")
                                      .arg(written)
                                      .arg(buffer.size());
    buffer.clear();
    return ok;
}

bool CaptureFile::close()
{
    if (!file.isOpen())
        return true;
    const bool ok = flush();
    file.close();
    return ok;
}

void CaptureFile::flushOnTimer()
{
    if (!flush())
        emit writeFailed(lastError);
}
