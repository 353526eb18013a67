// Port names, their devices, and the settings file they live in.
#include "SettingsStore.h"
#include "PortBindings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class PortNamesTest : public QObject
{
    Q_OBJECT

private slots:
    void numberOfName_data();
    void numberOfName();
    void resolve();
    void settingsFileFollowsXdgConfigHome();
    void integersStoredAsIntegers();
};

void PortNamesTest::numberOfName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("number");
    QTest::newRow("COM3") << QStringLiteral("COM3") << 3;
    QTest::newRow("COM12") << QStringLiteral("COM12") << 12;
    QTest::newRow("COM255") << QStringLiteral("COM255") << 255;
    QTest::newRow("no number") << QStringLiteral("COM") << 0;
    QTest::newRow("not a number") << QStringLiteral("COMx") << 0;
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("COM256") << QStringLiteral("COM256") << 256;
    QTest::newRow("beyond COM256") << QStringLiteral("COM257") << 0;
    // A stored number is no port name: once it named /dev/ttyS7483646.
    QTest::newRow("stored 2147483647") << QStringLiteral("2147483647") << 0;
    QTest::newRow("lower case") << QStringLiteral("com4") << 4;
}

void PortNamesTest::numberOfName()
{
    QFETCH(QString, name);
    QFETCH(int, number);
    QCOMPARE(portNumberOf(name), number);
}

void PortNamesTest::resolve()
{
    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("b.ini")));
    QCOMPARE(resolvePortDevice(QStringLiteral("COM1"), portBindingsOf(&settings)), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(resolvePortDevice(QStringLiteral("COM12"), nullptr), QStringLiteral("/dev/ttyS11"));
    QCOMPARE(resolvePortDevice(QStringLiteral("COM"), portBindingsOf(&settings)), QString());

    bindPortDevice(settings, QStringLiteral("COM3"), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(resolvePortDevice(QStringLiteral("COM3"), portBindingsOf(&settings)), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(resolvePortDevice(QStringLiteral("COM4"), portBindingsOf(&settings)), QStringLiteral("/dev/ttyS3"));
    bindPortDevice(settings, QStringLiteral("COM3"), QString());
    QCOMPARE(resolvePortDevice(QStringLiteral("COM3"), portBindingsOf(&settings)), QStringLiteral("/dev/ttyS2"));
    QVERIFY(!settings.contains(QStringLiteral("Ports"), QStringLiteral("COM3")));
}

void PortNamesTest::settingsFileFollowsXdgConfigHome()
{
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    const QString expected = dir.path() + QStringLiteral("/Vantrel/Brennock.ini");
    QCOMPARE(brennockSettingsPath(), expected);
    {
        SettingsStore settings(brennockSettingsPath());
        QCOMPARE(settings.fileName(), expected);
        settings.writeText(QStringLiteral("COM Settings"), QStringLiteral("COM Port"), QStringLiteral("COM9"));
    }
    QVERIFY(QFile::exists(expected));
    SettingsStore reread(brennockSettingsPath());
    QCOMPARE(reread.readText(QStringLiteral("COM Settings"), QStringLiteral("COM Port"), QString()),
             QStringLiteral("COM9"));
}

void PortNamesTest::integersStoredAsIntegers()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("b.ini"));
    {
        SettingsStore settings(path);
        settings.writeInt(QStringLiteral("Delay"), QStringLiteral("DelayLF"), 50);
        settings.writeText(QStringLiteral("COM Settings"), QStringLiteral("Baud Rate"), QStringLiteral("9600"));
        QCOMPARE(settings.readInt(QStringLiteral("Delay"), QStringLiteral("DelayLF"), -1), 50);
        QCOMPARE(settings.readInt(QStringLiteral("Delay"), QStringLiteral("DelayChar"), -1), -1);
        QVERIFY(!settings.contains(QStringLiteral("Delay"), QStringLiteral("DelayChar")));
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY2(text.contains("[Delay]\nDelayLF=50\n"), text.constData());
    QVERIFY2(text.contains("Baud%20Rate=9600"), text.constData());
}

QTEST_GUILESS_MAIN(PortNamesTest)
#include "tst_portnames.moc"
