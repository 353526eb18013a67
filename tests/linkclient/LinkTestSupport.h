// Shared pieces of the harbrooklink tests: qx2sim in-process on a pty with a
// link of a unique name (the serial library locks ports by their file name), its
// conversation log read back as the bytes the instrument received, shortened
// link waits, and settings kept in the test's own folder.
#pragma once

#include "LinkSession.h"
#include "ListingLine.h"

#include "SimEngine.h"
#include "SimLog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

namespace linktest
{

// Waits that keep the tests quick where the interval is not what is tested.
inline LinkTiming fastTiming()
{
    LinkTiming t;
    t.listingStartMs = 800;
    t.replyQuietMs = 150;
    t.downloadStallMs = 400;
    t.uploadWriteMs = 1500;
    t.uploadPendingMs = 1000;
    t.uploadFilePauseMs = 20;
    return t;
}

inline QString uniqueName(const char* stem)
{
    static std::atomic<int> counter{0};
    return QStringLiteral("%1-%2-%3")
        .arg(QLatin1String(stem))
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

// qx2sim with the link server running (or only its console), in a folder of its own.
struct Peer {
    QTemporaryDir dir;
    bool linkServer = true;
    QString link = dir.path() + QLatin1Char('/') + uniqueName("qx2");
    QString logPath = dir.path() + QStringLiteral("/sim.log");
    std::unique_ptr<qx2sim::SimEngine> engine;

    bool start(qx2sim::SimOptions o = {})
    {
        o.linkPath = link;
        o.logPath = logPath;
        o.skiffer = linkServer;
        // Quick, unless the test chose its own.
        if (o.timing.uploadIdleMs == qx2sim::SimTiming().uploadIdleMs)
            o.timing.uploadIdleMs = 500;
        engine = std::make_unique<qx2sim::SimEngine>(o);
        QString error;
        if (!engine->start(&error)) {
            qWarning("qx2sim: %s", qPrintable(error));
            return false;
        }
        // The server's greeting is on the line before a client opens it (and is
        // dropped there), not in the middle of the first reply.
        QElapsedTimer t;
        t.start();
        while (!engine->outputIdle() && t.elapsed() < 2000)
            QThread::msleep(2);
        QThread::msleep(20);
        return true;
    }
    // Everything the instrument received so far, in order.
    QByteArray received() const
    {
        QByteArray out;
        const QList<qx2sim::LogRecord> records = qx2sim::readLogFile(logPath);
        for (const qx2sim::LogRecord& r : records) {
            if (r.kind == qx2sim::LogRecord::Rx)
                out.append(r.bytes);
        }
        return out;
    }
    QString cardRoot() const { return engine->cardRoot(); }
};

// The default settings store of this process points into dir.
inline void isolateSettings(const QTemporaryDir& dir)
{
    QSettings::setDefaultFormat(QSettings::NativeFormat);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
}

// Log lines of a session, collected.
struct LogCollector {
    QStringList lines;
    explicit LogCollector(LinkSession* s)
    {
        QObject::connect(s, &LinkSession::logLine, s, [this](const QString& t) { lines << t; });
    }
    int count(const QString& prefix) const
    {
        int n = 0;
        for (const QString& l : lines)
            n += l.startsWith(prefix) ? 1 : 0;
        return n;
    }
};

// The link tests' fixture: one session on one qx2sim, its event log collected.
struct SessionRig {
    Peer peer;
    LinkSession session;
    LogCollector log{&session};
    QStringList entries;

    bool start(qx2sim::SimOptions o = {}, LinkTiming t = fastTiming())
    {
        session.setTiming(t);
        return peer.start(o) && session.selectPort(peer.link);
    }
    // Started, with the listing of path in entries.
    bool startListed(qx2sim::SimOptions o = {}, const QStringList& path = {})
    {
        return start(o) && list(path);
    }
    bool list(const QStringList& path = {}, int ms = 3000);
    QString line(const QString& name) const;
    bool runJob(const std::function<bool()>& start, int ms = 30000);
    bool storedOnCard(const QString& name) const
    {
        return QFileInfo::exists(peer.cardRoot() + QLatin1Char('/') + name);
    }
};

// Waits until the session is idle again.
inline bool waitIdle(LinkSession* s, int ms)
{
    QElapsedTimer t;
    t.start();
    while (s->currentState() != LinkSession::Nothing && t.elapsed() < ms)
        QTest::qWait(10);
    return s->currentState() == LinkSession::Nothing;
}

// Asks for the listing of path; false when none comes or the session does not settle.
inline bool listInto(LinkSession& session, const QStringList& path, QStringList* entries,
                     int ms = 3000)
{
    QSignalSpy listings(&session, &LinkSession::listingReceived);
    if (!session.performCD(path) || !listings.wait(ms))
        return false;
    *entries = listings.last().at(0).toStringList();
    return waitIdle(&session, 2000);
}

// The listing's line for name, or an empty string.
inline QString entryFor(const QStringList& entries, const QString& name)
{
    for (const QString& e : entries) {
        if (listing::firstField(e) == name)
            return e;
    }
    return QString();
}

// Runs a job to its end; the value of jobFinished, or false on a hang.
inline bool runJob(LinkSession& session, const std::function<bool()>& start, int ms)
{
    QSignalSpy finished(&session, &LinkSession::jobFinished);
    if (!start())
        return false;
    if (finished.isEmpty() && !finished.wait(ms))
        return false;
    return finished.first().at(0).toBool();
}

inline bool SessionRig::list(const QStringList& path, int ms)
{
    return listInto(session, path, &entries, ms);
}

inline QString SessionRig::line(const QString& name) const
{
    return entryFor(entries, name);
}

inline bool SessionRig::runJob(const std::function<bool()>& start, int ms)
{
    return linktest::runJob(session, start, ms);
}

} // namespace linktest
