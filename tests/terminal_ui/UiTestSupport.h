// What the terminal window's tests share: a private settings folder, qx2sim on a pty
// as the instrument, and a wait for the view's text.
#pragma once

#include "PortBindings.h"
#include "SettingsStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// A settings folder of the test's own: XDG_CONFIG_HOME points into a temporary folder,
// so the user's Brennock.ini is never touched.
class TempConfig
{
public:
    TempConfig()
    {
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (dir.path() + QStringLiteral("/cache")).toLocal8Bit());
    }
    QString path() const { return dir.path(); }
    QString iniPath() const { return dir.path() + QStringLiteral("/Vantrel/Brennock.ini"); }
    // Binds comName to device and makes it the stored port.
    void usePort(const QString& comName, const QString& device)
    {
        SettingsStore settings(iniPath());
        bindPortDevice(settings, comName, device);
        settings.writeText(QStringLiteral("COM Settings"), QStringLiteral("COM Port"), comName);
        settings.sync();
    }

private:
    QTemporaryDir dir;
};

// qx2sim serving on a pty behind a link in a temporary folder.
class SimInstrument
{
public:
    // Serves behind link, by default a link in a temporary folder of its own.
    bool start(QString* problem, const QString& link = QString())
    {
        linkPath = link.isEmpty() ? folder.path() + QStringLiteral("/qx2") : link;
        process.setProgram(QStringLiteral(QX2SIM_PATH));
        process.setArguments({QStringLiteral("--link"), linkPath});
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start();
        if (!process.waitForStarted(5000)) {
            *problem = QStringLiteral("qx2sim did not start: ") + process.errorString();
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        QByteArray out;
        while (!out.contains('\n') && clock.elapsed() < 10000) {
            process.waitForReadyRead(200);
            out += process.readAllStandardOutput();
        }
        if (!out.startsWith("READY ")) {
            *problem = QStringLiteral("qx2sim said: ") +
                       QString::fromLocal8Bit(out + process.readAllStandardError());
            return false;
        }
        return true;
    }
    ~SimInstrument()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
        }
    }
    QString link() const { return linkPath; }
    // Dies at once, as an instrument whose cable is pulled: the pty's far end closes
    // and the link is left dangling.
    void kill()
    {
        process.kill();
        process.waitForFinished(5000);
    }

private:
    QTemporaryDir folder;
    QProcess process;
    QString linkPath;
};
