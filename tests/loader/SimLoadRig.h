// The load commands against qx2sim on a real pty: the engine in-process, the
// port opened as brennock opens it, a stand-in for the terminal document (the
// comm thread's owner, the terminal text, the recent list), and the protocol's
// long time-outs shortened for tests.
#pragma once

#include "LoadCommands.h"
#include "LoadHost.h"
#include "Ser2netServer.h"
#include "SerialMonitorLine.h"
#include "SerialPort.h"
#include "SettingsStore.h"
#include "SimEngine.h"
#include "TestSupport.h"

#include "BigEndian.h"

#include <QProcess>
#include <QTemporaryDir>

#include <memory>

// Time-outs short enough for tests, long enough for a loaded machine.
inline MonitorTiming fastTiming()
{
    MonitorTiming t;
    t.loadRead = {0, 100, 600};
    t.replyRead = {0, 5, 15};
    t.tom8SettleMs = 100;
    t.tom8DrainMs = 100;
    t.hexEndDrainMs = 400;
    return t;
}

class SimLoadHost : public LoadHost, public ReaderControl
{
public:
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<SerialMonitorLine> monitorLine;
    QByteArray shown;
    QStringList recent;
    int stops = 0;
    int restarts = 0;
    MonitorSession::Rates rateSettings{9600, 115200};

    bool open(const QString& device)
    {
        port = std::make_unique<SerialPort>(device);
        if (!port->isOpen() || port->lastError() != 0)
            return false;
        port->SetBaudRate(rateSettings.terminal);
        port->SetLineFormat(kNoParity, 8, kOneStopBit);
        monitorLine = std::make_unique<SerialMonitorLine>(*port);
        return true;
    }

    MonitorLine* line() override { return monitorLine.get(); }
    ReaderControl& readerControl() override { return *this; }
    MonitorSession::Rates rates() const override { return rateSettings; }
    void showInTerminal(const QByteArray& bytes) override { shown += bytes; }
    void addRecentFile(const QString& path) override { recent << path; }
    bool stopReader() override
    {
        ++stops;
        return port != nullptr;
    }
    bool restartReader() override
    {
        ++restarts;
        return true;
    }
};

struct SimLoadRig {
    QTemporaryDir dir;
    std::unique_ptr<qx2sim::SimEngine> sim;
    std::unique_ptr<SettingsStore> settings;
    SimLoadHost host;
    RecordingFeedback feedback;
    std::unique_ptr<LoadCommands> commands;
    LoadProgressFactory progress; // empty: none shown

    static qx2sim::SimOptions options()
    {
        qx2sim::SimOptions o;
        o.timing.loadIdleMs = 1000;
        o.timing.hexIdleMs = 100;
        o.timing.hexClosingMs = 1000;
        return o;
    }

    // Starts qx2sim with o, opens the port and makes the commands.
    bool start(qx2sim::SimOptions o = options())
    {
        o.linkPath = dir.path() + QStringLiteral("/link");
        sim = std::make_unique<qx2sim::SimEngine>(o);
        QString error;
        if (!sim->start(&error)) {
            ADD_FAILURE() << error.toStdString();
            return false;
        }
        settings = std::make_unique<SettingsStore>(dir.path() + QStringLiteral("/brennock.ini"));
        if (!host.open(o.linkPath))
            return false;
        makeCommands();
        return true;
    }

    // As start, but the port is reached through ser2net in front of qx2sim's device.
    Ser2netServer ser2net;
    bool startRemote(qx2sim::SimOptions o = options())
    {
        o.linkPath = dir.path() + QStringLiteral("/link");
        sim = std::make_unique<qx2sim::SimEngine>(o);
        QString error;
        if (!sim->start(&error) || !ser2net.start(sim->deviceName(), &error)) {
            ADD_FAILURE() << error.toStdString();
            return false;
        }
        settings = std::make_unique<SettingsStore>(dir.path() + QStringLiteral("/brennock.ini"));
        if (!host.open(ser2net.url())) {
            ADD_FAILURE() << host.port->lastErrorText().toStdString();
            return false;
        }
        makeCommands();
        return true;
    }

    void makeCommands()
    {
        commands = std::make_unique<LoadCommands>(
            host, settings.get(), feedback, [this]() -> std::unique_ptr<LoadProgress> {
                return progress ? progress() : std::make_unique<NullLoadProgress>();
            });
        commands->setTiming(fastTiming());
    }

    QString path(const QString& name) const { return dir.path() + QLatin1Char('/') + name; }

    // A CPM68K image file: header (0x601A 28 bytes, 0x601B 36 bytes) and the image.
    QString writeImage(const QString& name, quint16 magic, quint32 address, const QByteArray& image)
    {
        QByteArray header(magic == 0x601B ? 36 : 28, '\0');
        auto* h = reinterpret_cast<uchar*>(header.data());
        putBe16(h, magic);
        putBe32(h + 2, quint32(image.size() - image.size() / 4)); // text
        putBe32(h + 6, quint32(image.size() / 4));                // data
        putBe32(h + 22, address);
        const QString file = path(name);
        writeAll(file, header + image);
        return file;
    }

    // What the port's device is set to now, read back from the device.
    QString deviceSettings() const;
};

struct ProgramRun {
    int exitCode = -1;
    QByteArray out, err;
};

// The real program, without a display, its settings in configDir.
inline ProgramRun runBrennock(const QStringList& args, const QString& configDir)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir);
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(BRENNOCK_PROGRAM), args);
    ProgramRun r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}
