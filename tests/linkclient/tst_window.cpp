// The main window on the offscreen platform with qx2sim behind the port list:
// navigation and the buttons it drives, the port list's preference, the welcome
// text, zoom and the stored font size and geometry, the far end going away.
#include "LinkSession.h"
#include "LinkTestSupport.h"
#include "ListingLine.h"
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QToolButton>
#include <QWheelEvent>
#include <QtTest>

using namespace linktest;

namespace
{
QListWidgetItem* itemNamed(QListWidget* list, const QString& name)
{
    for (int i = 0; i < list->count(); ++i) {
        if (listing::firstField(list->item(i)->text()) == name)
            return list->item(i);
    }
    return nullptr;
}

// Enter on an entry, as the user would activate it.
void activate(QListWidget* list, QListWidgetItem* item)
{
    list->setCurrentItem(item);
    QTest::keyClick(list, Qt::Key_Return);
}

void wheel(QWidget* target, int delta, Qt::KeyboardModifiers mods, bool horizontal = false)
{
    const QPoint angle = horizontal ? QPoint(delta, 0) : QPoint(0, delta);
    QWheelEvent e(QPointF(10, 10), QPointF(10, 10), QPoint(), angle, Qt::NoButton, mods,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &e);
}

MainWindowOptions optionsFor(const QString& link)
{
    MainWindowOptions o;
    o.portSource = [] { return QList<PortEntry>(); };
    o.extraPorts = QStringList{link};
    return o;
}
} // namespace

class TestWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void welcomeTextAndInitialButtons();
    void navigationIntoFolderAndBack();
    void selectionDrivesTheButtons();
    void busyRefusalAndSilence();
    void portListPrefersInstrumentPorts();
    void storedPortIsSelected();
    void fontSizeAndGeometryRoundTrip();
    void ctrlWheelZoomsWithinLimits();
    void farEndVanishingAndRefresh();
    void transferButtonsFollowThePort();
    void consoleEchoIsSaidOnce();
    void screenshotWithListing();

private:
    QTemporaryDir settingsDir;
};

void TestWindow::initTestCase()
{
    QVERIFY(settingsDir.isValid());
    isolateSettings(settingsDir);
}

void TestWindow::init()
{
    QSettings().clear();
}

void TestWindow::welcomeTextAndInitialButtons()
{
    Peer peer;
    QVERIFY(peer.start());
    MainWindow w(optionsFor(peer.link));
    Ui::MainWindow* ui = w.form();
    QCOMPARE(w.windowTitle(), QStringLiteral("Harbrook Link"));
    QCOMPARE(ui->lw_log->count(), 6);
    QCOMPARE(ui->lw_log->item(0)->text(), QStringLiteral("     Welcome to HarbrookLink V4"));
    QCOMPARE(ui->lw_log->item(3)->text(),
             QStringLiteral("3) Press \"Get Root Directory\" to view CF card contents."));
    QCOMPARE(ui->lw_log->item(5)->text(), QString());
    QVERIFY(ui->pbGetDir->isEnabled());
    QVERIFY(!ui->pbTransfer->isEnabled());
    QVERIFY(!ui->pbUpload->isEnabled());
    QVERIFY(ui->pbSetTime->isEnabled());
    QCOMPARE(ui->cbPorts->currentText(), peer.link);
    QCOMPARE(ui->lwFiles->font().family(), QStringLiteral("Liberation Mono"));
    QCOMPARE(ui->lwFiles->font().pointSizeF(), 12.0);
    QVERIFY(QFileInfo::exists(QStringLiteral(LINK_BUILD_DIR "/../../linkclient/help/"
                                                            "HarbrookLinkUserGuide.html")));
    // Beside this test program there is no guide: Help says so in the log.
    QTest::mouseClick(ui->pbHelp, Qt::LeftButton);
    QCOMPARE(ui->lw_log->count(), 7);
    QVERIFY2(ui->lw_log->item(6)->text().startsWith(QStringLiteral("The user guide was not found")),
             qPrintable(ui->lw_log->item(6)->text()));
}

void TestWindow::navigationIntoFolderAndBack()
{
    Peer peer;
    QVERIFY(peer.start());
    MainWindow w(optionsFor(peer.link));
    w.link()->setTiming(fastTiming());
    Ui::MainWindow* ui = w.form();
    QSignalSpy listings(w.link(), &LinkSession::listingReceived);

    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(w.link(), 1000));
    QVERIFY(ui->pbUpload->isEnabled());
    QCOMPARE(QSettings().value(QStringLiteral("gui/comport")).toString(), w.link()->portName());

    activate(ui->lwFiles, itemNamed(ui->lwFiles, QStringLiteral("DATA")));
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(w.link(), 1000));
    QVERIFY(itemNamed(ui->lwFiles, QStringLiteral("LOG0001.TXT")));

    // "." and a file send nothing.
    const QByteArray before = peer.received();
    activate(ui->lwFiles, itemNamed(ui->lwFiles, QStringLiteral(".")));
    activate(ui->lwFiles, itemNamed(ui->lwFiles, QStringLiteral("LOG0001.TXT")));
    QTest::qWait(200);
    QCOMPARE(peer.received(), before);
    QCOMPARE(w.link()->currentState(), LinkSession::Nothing);

    activate(ui->lwFiles, itemNamed(ui->lwFiles, QStringLiteral("..")));
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(w.link(), 1000));
    QVERIFY(itemNamed(ui->lwFiles, QStringLiteral("AUTOEXEC.BAT")));
    QCOMPARE(w.link()->currentPath(), QStringList());
    QCOMPARE(peer.received(), QByteArray("cC:\\\nd"
                                         "cC:\\DATA\nd"
                                         "cC:\\\nd"));
}

void TestWindow::selectionDrivesTheButtons()
{
    Peer peer;
    QVERIFY(peer.start());
    MainWindow w(optionsFor(peer.link));
    w.link()->setTiming(fastTiming());
    Ui::MainWindow* ui = w.form();
    QSignalSpy listings(w.link(), &LinkSession::listingReceived);
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));

    itemNamed(ui->lwFiles, QStringLiteral("AUTOEXEC.BAT"))->setSelected(true);
    itemNamed(ui->lwFiles, QStringLiteral("SETUP.CFG"))->setSelected(true);
    QVERIFY(ui->pbTransfer->isEnabled());
    QVERIFY(!ui->pbUpload->isEnabled());
    itemNamed(ui->lwFiles, QStringLiteral("DATA"))->setSelected(true);
    QVERIFY(!ui->pbTransfer->isEnabled());
    ui->lwFiles->clearSelection();
    QVERIFY(!ui->pbTransfer->isEnabled());
    QVERIFY(ui->pbUpload->isEnabled());

    // A refill drops the selection: Download off, Upload on.
    itemNamed(ui->lwFiles, QStringLiteral("README.TXT"))->setSelected(true);
    QVERIFY(waitIdle(w.link(), 1000));
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));
    QVERIFY(!ui->pbTransfer->isEnabled());
    QVERIFY(ui->pbUpload->isEnabled());
}

void TestWindow::busyRefusalAndSilence()
{
    Peer peer;
    qx2sim::SimOptions o;
    o.silent = true;
    QVERIFY(peer.start(o));
    MainWindow w(optionsFor(peer.link));
    w.link()->setTiming(fastTiming());
    Ui::MainWindow* ui = w.form();
    ui->pbUpload->setEnabled(true);
    QSignalSpy silent(w.link(), &LinkSession::noAnswer);
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QCOMPARE(ui->lw_log->item(ui->lw_log->count() - 1)->text(),
             QStringLiteral("Busy - Ignoring Directory Listing."));
    QVERIFY(silent.wait(3000));
    QVERIFY(ui->lw_log->item(ui->lw_log->count() - 1)
                ->text()
                .startsWith(QLatin1String("Error:  Unable to connect to Skiffer.")));
    QVERIFY(!ui->pbUpload->isEnabled());
    QCOMPARE(ui->lwFiles->count(), 0);
    QCOMPARE(peer.received(), QByteArray("cC:\\\nd"));
}

void TestWindow::portListPrefersInstrumentPorts()
{
    struct Row {
        QList<PortEntry> ports;
        QStringList expected;
    };
    const QList<Row> rows = {
        {{{QStringLiteral("ttyS0"), QString()},
          {QStringLiteral("ttyUSB0"), QStringLiteral("P0401234")}},
         {QStringLiteral("ttyUSB0")}},
        {{{QStringLiteral("ttyS0"), QString()}, {QStringLiteral("ttyUSB0"), QStringLiteral("A9X")}},
         {QStringLiteral("ttyS0"), QStringLiteral("ttyUSB0")}},
        // Case matters, and only the start counts.
        {{{QStringLiteral("ttyS0"), QStringLiteral("p0401")},
          {QStringLiteral("ttyS1"), QStringLiteral("XP040")}},
         {QStringLiteral("ttyS0"), QStringLiteral("ttyS1")}},
        {{}, {}},
    };
    for (const Row& row : rows) {
        MainWindowOptions o;
        o.portSource = [row] { return row.ports; };
        MainWindow w(o);
        QStringList shown;
        for (int i = 0; i < w.form()->cbPorts->count(); ++i)
            shown << w.form()->cbPorts->itemText(i);
        QCOMPARE(shown, row.expected);
        if (row.expected.isEmpty())
            QVERIFY(!w.form()->pbGetDir->isEnabled());
    }
    // Ports named on the command line join the list and the first is selected.
    Peer peer;
    QVERIFY(peer.start());
    MainWindowOptions o;
    o.portSource = [] {
        return QList<PortEntry>{{QStringLiteral("ttyUSB7"), QStringLiteral("P040AA")}};
    };
    o.extraPorts = QStringList{peer.link, QStringLiteral("/dev/null-other")};
    MainWindow w(o);
    QCOMPARE(w.form()->cbPorts->count(), 3);
    QCOMPARE(w.form()->cbPorts->currentText(), peer.link);
    QVERIFY(w.link()->isPortOpen());
    QVERIFY(w.form()->pbGetDir->isEnabled());
}

void TestWindow::storedPortIsSelected()
{
    Peer peer;
    QVERIFY(peer.start());
    QSettings().setValue(QStringLiteral("gui/comport"), peer.link);
    MainWindowOptions o;
    o.portSource = [&peer] {
        return QList<PortEntry>{{QStringLiteral("ttyS31"), QString()}, {peer.link, QString()}};
    };
    {
        MainWindow w(o);
        QCOMPARE(w.form()->cbPorts->currentText(), peer.link);
        QVERIFY(w.link()->isPortOpen());
    }
    QSettings().setValue(QStringLiteral("gui/comport"), QStringLiteral("ttyS99"));
    MainWindow w(o);
    QCOMPARE(w.form()->cbPorts->currentIndex(), 0);
}

void TestWindow::fontSizeAndGeometryRoundTrip()
{
    const QRect where(40, 60, 700, 560);
    {
        MainWindowOptions o;
        o.portSource = [] { return QList<PortEntry>(); };
        MainWindow w(o);
        QCOMPARE(w.size(), QSize(665, 530));
        w.setGeometry(where);
        wheel(&w, 120, Qt::ControlModifier);
        QCOMPARE(w.form()->lwFiles->font().pointSizeF(), 12.0 * 1.02);
    }
    MainWindowOptions o;
    o.portSource = [] { return QList<PortEntry>(); };
    MainWindow w(o);
    QCOMPARE(w.form()->lwFiles->font().pointSizeF(), 12.0 * 1.02);
    QCOMPARE(w.geometry(), where);
}

void TestWindow::ctrlWheelZoomsWithinLimits()
{
    struct Row {
        double from;
        int delta;
        Qt::KeyboardModifiers mods;
        bool horizontal;
        double to;
    };
    const QList<Row> rows = {
        {29.8, 120, Qt::ControlModifier, false, 30.0},
        {8.1, -120, Qt::ControlModifier, false, 8.0},
        {12.0, -120, Qt::ControlModifier, false, 12.0 / 1.02},
        {12.0, 120, Qt::ControlModifier | Qt::ShiftModifier, false, 12.0},
        {12.0, 120, Qt::NoModifier, false, 12.0},
        {12.0, 120, Qt::ControlModifier, true, 12.0},
    };
    MainWindowOptions o;
    o.portSource = [] { return QList<PortEntry>(); };
    MainWindow w(o);
    for (const Row& row : rows) {
        QFont f = w.form()->lwFiles->font();
        f.setPointSizeF(row.from);
        w.form()->lwFiles->setFont(f);
        wheel(&w, row.delta, row.mods, row.horizontal);
        QCOMPARE(w.form()->lwFiles->font().pointSizeF(), row.to);
        // Over the list too, where a plain wheel would scroll.
        f.setPointSizeF(row.from);
        w.form()->lwFiles->setFont(f);
        wheel(w.form()->lwFiles->viewport(), row.delta, row.mods, row.horizontal);
        QCOMPARE(w.form()->lwFiles->font().pointSizeF(), row.to);
    }
    QCOMPARE(w.form()->lw_log->font().pointSizeF(), QApplication::font().pointSizeF());
}

void TestWindow::farEndVanishingAndRefresh()
{
    Peer peer;
    QVERIFY(peer.start());
    MainWindow w(optionsFor(peer.link));
    w.link()->setTiming(fastTiming());
    Ui::MainWindow* ui = w.form();
    const int before = ui->lw_log->count();
    peer.engine->stop();
    QTest::qWait(600);
    QCOMPARE(ui->lw_log->count(), before + 1);
    QVERIFY(ui->lw_log->item(before)->text().startsWith(
        QLatin1String("An I/O error occurred while reading the data from port")));
    QVERIFY(!ui->pbGetDir->isEnabled());

    // Picking the same port again opens it.
    QVERIFY(peer.start());
    emit ui->cbPorts->activated(ui->cbPorts->currentIndex());
    QVERIFY(ui->pbGetDir->isEnabled());
    QCOMPARE(ui->lw_log->count(), before + 1);

    // Gone again; this time the refresh button opens it.
    peer.engine->stop();
    QTest::qWait(600);
    QCOMPARE(ui->lw_log->count(), before + 2);
    QVERIFY(!ui->pbGetDir->isEnabled());
    QVERIFY(peer.start());
    QTest::mouseClick(ui->toolButton, Qt::LeftButton);
    QVERIFY(ui->pbGetDir->isEnabled());
    QSignalSpy listings(w.link(), &LinkSession::listingReceived);
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));
    QVERIFY(itemNamed(ui->lwFiles, QStringLiteral("AUTOEXEC.BAT")));
}

void TestWindow::transferButtonsFollowThePort()
{
    Peer peer;
    QVERIFY(peer.start());
    MainWindow w(optionsFor(peer.link));
    w.link()->setTiming(fastTiming());
    Ui::MainWindow* ui = w.form();
    QSignalSpy listings(w.link(), &LinkSession::listingReceived);
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(w.link(), 1000));
    QVERIFY(ui->pbUpload->isEnabled());
    itemNamed(ui->lwFiles, QStringLiteral("README.TXT"))->setSelected(true);
    QVERIFY(ui->pbTransfer->isEnabled());

    // The instrument goes away: nothing may be pressed that would act on the closed port.
    peer.engine->stop();
    QTRY_VERIFY(!ui->pbGetDir->isEnabled());
    QVERIFY(!ui->pbTransfer->isEnabled());
    ui->lwFiles->clearSelection();
    QVERIFY(!ui->pbUpload->isEnabled());

    // Back: Get Root Directory at once, the transfers after a new listing.
    QVERIFY(peer.start());
    QTest::mouseClick(ui->toolButton, Qt::LeftButton);
    QVERIFY(ui->pbGetDir->isEnabled());
    QVERIFY(!ui->pbUpload->isEnabled());
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));
    QVERIFY(ui->pbUpload->isEnabled());
}

void TestWindow::consoleEchoIsSaidOnce()
{
    Peer peer;
    peer.linkServer = false;
    QVERIFY(peer.start());
    MainWindow w(optionsFor(peer.link));
    w.link()->setTiming(fastTiming());
    Ui::MainWindow* ui = w.form();
    const int before = ui->lw_log->count();
    QSignalSpy listings(w.link(), &LinkSession::listingReceived);
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(w.link(), 1000));
    // The echo is shown as the listing shows any line; the log says what it is.
    QCOMPARE(ui->lwFiles->count(), 1);
    QStringList added;
    for (int i = before; i < ui->lw_log->count(); ++i)
        added << ui->lw_log->item(i)->text();
    QCOMPARE(added.filter(QStringLiteral("No link server answers")).size(), 1);
    QCOMPARE(added.last(), QStringLiteral("Success: Directory listing updated."));
}

void TestWindow::screenshotWithListing()
{
    Peer peer;
    QVERIFY(peer.start());
    MainWindow w(optionsFor(peer.link));
    w.link()->setTiming(fastTiming());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QSignalSpy listings(w.link(), &LinkSession::listingReceived);
    QTest::mouseClick(w.form()->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(w.link(), 1000));
    itemNamed(w.form()->lwFiles, QStringLiteral("DATA001.DAT"))->setSelected(true);
    const QString path = QStringLiteral(LINK_BUILD_DIR "/harbrooklink-main-window.png");
    QVERIFY(w.grab().save(path));
    QVERIFY(QFileInfo(path).size() > 1000);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
