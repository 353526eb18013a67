// The open file of a text capture: a buffered stream that is written out at Close,
// when the buffer grows large, and on a deadline timer started by the first byte
// that waits, so a crash loses at most kFlushIntervalMs of text.
//
// Bytes are written exactly as given (the terminal's runs already carry CR LF line
// breaks); nothing is translated on the way. A failed open or write keeps the
// operating system's reason in errorString(). A write that fails on the timer is
// announced with writeFailed(); the caller decides whether capture goes on.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QTimer>

class CaptureFile : public QObject
{
    Q_OBJECT

public:
    static constexpr int kFlushIntervalMs = 500; // well inside the one-second promise
    static constexpr int kBufferLimit = 64 * 1024;

    enum class Mode { Overwrite, Append };

    explicit CaptureFile(QObject* parent = nullptr);
    ~CaptureFile() override; // flushes and closes; an error there is lost with the object

    // Opens path, creating it; Overwrite empties it first. Returns false (errorString
    // says why) and leaves nothing open on failure.
    bool open(const QString& path, Mode mode);
    bool isOpen() const { return file.isOpen(); }
    QString fileName() const { return file.fileName(); }

    // Buffers the bytes; writes them out when the buffer is full. Returns false when
    // that write failed.
    bool write(const char* bytes, int count);
    // Writes the buffer out now. Returns false when the write failed; the buffer is
    // dropped either way, so a broken file does not keep growing it.
    bool flush();
    // Flushes and closes. Returns false when the last write failed.
    bool close();

    QString errorString() const { return lastError; }
    // kFlushIntervalMs but for tests.
    void setFlushInterval(int ms) { flushTimer.setInterval(ms); }

signals:
    void writeFailed(const QString& reason);

private:
    void flushOnTimer();

    QFile file;
    QByteArray buffer;
    QTimer flushTimer;
    QString lastError;
};
