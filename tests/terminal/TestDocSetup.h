// A document wired to a pty: a temporary XDG_CONFIG_HOME holding the settings file,
// with "COM7" bound to the pty's slave through the [Ports] section.
#pragma once

#include "BrennockDoc.h"
#include "SettingsStore.h"
#include "PortDataSink.h"
#include "PortBindings.h"
#include "PtyPair.h"
#include "RecordingFeedback.h"

#include <QByteArray>
#include <QList>
#include <QTemporaryDir>

#include <functional>

#include <memory>

struct RecordingView : PortDataSink {
    QByteArray received;
    QList<int> chunkSizes;
    int clears = 0;
    void portData(const char* bytes, int count) override
    {
        received.append(bytes, count);
        chunkSizes.append(count);
    }
    void clearText() override
    {
        ++clears;
        received.clear();
    }
};

struct TestDocSetup {
    QTemporaryDir configHome;
    PtyPair pty;
    std::unique_ptr<SettingsStore> settings;
    RecordingFeedback feedback;

    TestDocSetup()
    {
        qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
        settings = std::make_unique<SettingsStore>(brennockSettingsPath());
        bindPortDevice(*settings, QStringLiteral("COM7"), pty.slavePath());
        bindPortDevice(*settings, QStringLiteral("COM5"), QStringLiteral("/dev/brennock-no-such-tty"));
    }
    bool ok() const { return configHome.isValid() && pty.ok(); }
    void usePort(const QString& name)
    {
        settings->writeText(QStringLiteral("COM Settings"), QStringLiteral("COM Port"), name);
    }
};

// The connected-document fixture: a document on portName ("COM7", the pty, unless a
// test binds another) with one recording view; before() writes the settings the
// document is to read when it is made. connect() opens the port.
struct ConnectedDoc {
    using Before = std::function<void(TestDocSetup&)>;

    TestDocSetup setup;
    RecordingView view;
    CBrennockDoc doc;

    explicit ConnectedDoc(const QString& portName = QStringLiteral("COM7"), const Before& before = {})
        : doc(prepared(setup, portName, before), setup.feedback)
    {
        doc.addView(&view);
    }
    bool connect() { return setup.ok() && doc.Connect(); }

private:
    static SettingsStore* prepared(TestDocSetup& s, const QString& portName, const Before& before)
    {
        s.usePort(portName);
        if (before)
            before(s);
        return s.settings.get();
    }
};
