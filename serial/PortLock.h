// PortLock: who owns a serial device, in the way every serial program on Linux asks.
//
// Two locks together: the UUCP lock file /run/lock/LCK..<name> (the device's path
// below /dev with '/' as '_', symbolic links resolved first; it holds the owner's PID
// as ten ASCII digits and a newline), which minicom, picocom, Qt's QSerialPort and
// the instrument tools all look at, and the advisory flock on the open device, which
// holds for root too (TIOCEXCL does not) and which every file of one device shares
// whatever path opened it.
//
// A lock file whose process is gone is stale and taken over. A live one refuses the
// port, and holder() names that process (its program name from /proc and its PID);
// for a device flock the PID comes from /proc/locks. Where the lock directory cannot
// be written (a system without /run/lock for this user) the device lock stands alone.
//
// Both programs link this one small library: brennock's SerialPort takes both locks
// itself; harbrooklink checks the file before QSerialPort makes its own lock file
// there and takes the device lock on the descriptor that QSerialPort opened.
#pragma once

#include <QString>

class PortLock
{
public:
    // The process that holds a device; pid 0 when the lock does not tell.
    struct Holder {
        qint64 pid = 0;
        QString program;
    };

    explicit PortLock(const QString& device);
    // Removes the lock file when this object made it.
    ~PortLock();
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Makes the lock file ours (taking over a stale one). False when a live process
    // holds it; holder() then names it.
    bool takeFile();
    // Only looks: false when a live process holds the lock file (a stale one is
    // removed on the way), for a program whose port class writes its own lock file.
    bool fileIsFree();
    // The advisory lock on an open descriptor of the device. False when another open
    // file holds it; holder() then names its process when /proc/locks tells it.
    bool lockDevice(int fd);
    // Gives the lock file up now (the device lock goes with its descriptor).
    void release();

    const Holder& holder() const { return busyHolder; }
    // "The port is in use by NAME (PID N)." for the holder found by the last refusal.
    QString busyText() const;

    QString filePath() const { return lockPath; }
    // /run/lock/LCK..<name> for device.
    static QString lockFilePathOf(const QString& device);
    // The PID a lock file names (UUCP's ten digits or a plain decimal first line); 0
    // when it names none.
    static qint64 pidOfLockText(const QByteArray& text);

private:
    enum class FileState { Free, Stale, Held, Unreadable };
    FileState inspectFile();

    QString lockPath;
    bool ownFile = false;
    Holder busyHolder;
};
