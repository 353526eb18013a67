// The pure parts of harbrooklink as tables: listing lines, 8.3 names and their
// checks, the clock text, the port choice, the command line's parsing; and the
// progress and short-name dialogs, which only show and hand back what they get.
#include "ClockText.h"
#include "DialogFileRename.h"
#include "LinkCli.h"
#include "ListingLine.h"
#include "PortChoice.h"
#include "ProgressDialog.h"
#include "ProgressLabel.h"
#include "ReplyCheck.h"
#include "ShortNames.h"
#include "TextEscape.h"
#include "ui_DialogFileRename.h"
#include "ui_ProgressDialog.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class TestUnits : public QObject
{
    Q_OBJECT
private slots:
    void parseListing();
    void entryFields_data();
    void entryFields();
    void safeLocalNames();
    void listingAnswers_data();
    void listingAnswers();
    void escapedNames_data();
    void escapedNames();
    void shortNames_data();
    void shortNames();
    void clashCounterStaysValidPastItsLimit();
    void namesTypedByTheUser_data();
    void namesTypedByTheUser();
    void clockText_data();
    void clockText();
    void clockTextIgnoresTheLocale();
    void offeredPorts();
    void cardPaths_data();
    void cardPaths();
    void commandLine_data();
    void commandLine();
    void progressLabel_data();
    void progressLabel();
    void progressDialogPercentages();
    void renameDialog();
};

void TestUnits::parseListing()
{
    static const char text[] = " Volume in drive C is QX2CARD\r\n"
                               "\r\n"
                               "AUTOEXEC.BAT              19 01-05-19  3:45p\r\n"
                               "\n"
                               "NUL.TXT\0garbage          1 01-05-19  3:45p\n"
                               "        1 File(s)             19 bytes\n"
                               "DATA           <DIR>         11-01-21  8:00a";
    const QByteArray reply(text, sizeof text - 1);
    const listing::Parsed p = listing::parseListing(reply);
    QCOMPARE(p.entries,
             (QStringList{QStringLiteral("AUTOEXEC.BAT              19 01-05-19  3:45p\r"),
                          QStringLiteral("NUL.TXT"),
                          QStringLiteral("DATA           <DIR>         11-01-21  8:00a")}));
    QCOMPARE(p.others.size(), 2);
    QVERIFY(p.anyLines);

    const listing::Parsed headersOnly = listing::parseListing(" File not found\n");
    QVERIFY(headersOnly.entries.isEmpty());
    QCOMPARE(headersOnly.others, QStringList{QStringLiteral(" File not found")});
}

void TestUnits::entryFields_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("directory");
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("timeText");
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<bool>("fits");
    const auto utc = [](int y, int mo, int d, int h, int mi) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi), Qt::UTC);
    };
    QTest::newRow("file") << "AUTOEXEC.BAT              19 01-05-19  3:45p" << false
                          << "AUTOEXEC.BAT" << qint64(19) << "01-05-2019 3:45pm"
                          << utc(2019, 1, 5, 15, 45) << true;
    QTest::newRow("grouped size") << "DATA001.DAT           12,345 02-29-20 12:05a" << false
                                  << "DATA001.DAT" << qint64(12345) << "02-29-2020 12:05am"
                                  << utc(2020, 2, 29, 0, 5) << true;
    QTest::newRow("noon") << "README.TXT               104 07-04-20 12:00p" << false << "README.TXT"
                          << qint64(104) << "07-04-2020 12:00pm" << utc(2020, 7, 4, 12, 0) << true;
    QTest::newRow("directory") << "DATA           <DIR>         11-01-21  8:00a" << true << "DATA"
                               << qint64(-1) << "11-01-2021 8:00am" << utc(2021, 11, 1, 8, 0)
                               << true;
    QTest::newRow("crlf") << "LOG0002.TXT            1,800 11-03-21 10:40p\r" << false
                          << "LOG0002.TXT" << qint64(1800) << "11-03-2021 10:40pm"
                          << utc(2021, 11, 3, 22, 40) << true;
    QTest::newRow("size not a number") << "ODD.TXT            lots 11-03-21 10:40p" << false
                                       << "ODD.TXT" << qint64(-1) << "" << QDateTime() << false;
    // name, size, date and time in their columns
    const auto line = [](const char* name, const char* size, const char* date, const char* time) {
        return QStringLiteral("%1%2 %3%4")
            .arg(QLatin1String(name), -15)
            .arg(QLatin1String(size), 13)
            .arg(QLatin1String(date))
            .arg(QLatin1String(time), 7);
    };
    QTest::newRow("bad date") << line("BAD.TXT", "1", "13-45-21", "10:40p") << false << "BAD.TXT"
                              << qint64(1) << "13-45-2021 10:40pm" << QDateTime() << true;
    // Columns 0-14 hold the name and a blank: a 15-character name fills them and does not fit.
    QTest::newRow("name up to column 14")
        << line("ABCDEFGHIJ.TXT", "1", "01-05-19", "3:45p") << false << "ABCDEFGHIJ.TXT"
        << qint64(1) << "01-05-2019 3:45pm" << utc(2019, 1, 5, 15, 45) << true;
    QTest::newRow("name reaching column 15")
        << line("ABCDEFGHIJK.TXT", "1", "01-05-19", "3:45p") << false << "ABCDEFGHIJK.TXT"
        << qint64(1) << "01-05-2019 3:45pm" << utc(2019, 1, 5, 15, 45) << false;
    QTest::newRow("short line") << "X" << false << "X" << qint64(-1) << "" << QDateTime() << false;
    QTest::newRow("blank in name")
        << line("MY NOTES.TXT", "5", "01-05-19", "3:45p") << false << "MY" << qint64(-1)
        << "01-05-2019 3:45pm" << utc(2019, 1, 5, 15, 45) << false;
}

void TestUnits::entryFields()
{
    QFETCH(QString, line);
    QFETCH(bool, directory);
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(QString, timeText);
    QFETCH(QDateTime, time);
    QFETCH(bool, fits);
    QCOMPARE(listing::isDirectory(line), directory);
    QCOMPARE(listing::firstField(line), name);
    if (!directory)
        QCOMPARE(listing::sizeField(line), size);
    if (!timeText.isEmpty())
        QCOMPARE(listing::fileTimeText(line), timeText);
    QCOMPARE(listing::fileTime(line), time);
    QCOMPARE(listing::fitsColumns(line), fits);
}

void TestUnits::safeLocalNames()
{
    for (const char* good : {"AUTOEXEC.BAT", "A", "..A", "A..B", "-X_"})
        QVERIFY2(listing::isSafeLocalName(QString::fromLatin1(good)), good);
    for (const char* bad : {"", ".", "..", "../X", "X/Y", "\\X", "C:\\X", "/etc/passwd", "C:X"})
        QVERIFY2(!listing::isSafeLocalName(QString::fromLatin1(bad)), bad);
    QVERIFY(!listing::isSafeLocalName(QStringLiteral("A") + QChar(0) + QStringLiteral("B")));
}

void TestUnits::listingAnswers_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("strays");
    QTest::addColumn<bool>("fitsNoLine");
    QTest::addColumn<bool>("echo");
    const QByteArray entry = "AUTOEXEC.BAT              19 01-05-19  3:45p\n";
    QTest::newRow("listing") << QByteArray(" Volume\n\n" + entry) << 1 << 0 << false << false;
    QTest::newRow("folder missing")
        << QByteArray(" Volume\n File not found\r\n") << 0 << 0 << false << false;
    QTest::newRow("console echo") << QByteArray("cC:\\DATAd") << 0 << 1 << true << true;
    QTest::newRow("echo, then a prompt")
        << QByteArray("cC:\\DATA\r\nd\r\nC:\\>") << 0 << 3 << true << true;
    QTest::newRow("noise") << QByteArray("\x01\xfe~") << 0 << 1 << true << false;
    QTest::newRow("entry and a stray") << QByteArray(entry + "LF\n") << 1 << 1 << false << false;
}

void TestUnits::listingAnswers()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, entries);
    QFETCH(int, strays);
    QFETCH(bool, fitsNoLine);
    QFETCH(bool, echo);
    const replycheck::ListingCheck c = replycheck::checkListing(reply, "cC:\\DATA\nd");
    QCOMPARE(c.entries, entries);
    QCOMPARE(c.strayLines.size(), strays);
    QCOMPARE(c.fitsNoLine, fitsNoLine);
    QCOMPARE(c.echo, echo);
    QCOMPARE(replycheck::isEchoOf(reply, "cC:\\DATA\nd"), echo);
}

void TestUnits::escapedNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("printed");
    QTest::newRow("plain") << QStringLiteral("AUTOEXEC.BAT") << QStringLiteral("AUTOEXEC.BAT");
    QTest::newRow("colour") << QStringLiteral("\x1b[31mRED") << QStringLiteral("\\033[31mRED");
    QTest::newRow("named") << QStringLiteral("a\tb\rc\nd\a") << QStringLiteral("a\\tb\\rc\\nd\\a");
    QTest::newRow("backslash") << QStringLiteral("..\\EVIL") << QStringLiteral("..\\\\EVIL");
    QTest::newRow("DEL and C1") << QString(QChar(0x7F)) + QChar(0x9B)
                                << QStringLiteral("\\177\\302\\233");
    QTest::newRow("not ASCII") << QStringLiteral("caf\u00e9") << QStringLiteral("caf\u00e9");
}

void TestUnits::escapedNames()
{
    QFETCH(QString, name);
    QFETCH(QString, printed);
    QCOMPARE(textescape::escapeName(name), printed);
    QCOMPARE(textescape::unescapeName(printed), name);
    // Log lines keep their own backslashes.
    QCOMPARE(textescape::escapeControls(QStringLiteral("C:\\D") + name),
             QStringLiteral("C:\\D") +
                 QString(printed).replace(QStringLiteral("\\\\"), QStringLiteral("\\")));
}

void TestUnits::shortNames_data()
{
    QTest::addColumn<QStringList>("local");
    QTest::addColumn<QStringList>("card");
    QTest::newRow("long with blanks")
        << QStringList{"My Long Report.txt"} << QStringList{"MY_LONG_.TXT"};
    QTest::newRow("long suffix") << QStringList{"data.json"} << QStringList{"DATA.JSO"};
    QTest::newRow("setup") << QStringList{"Setup_v2.ini", "/x/setupx.bat"}
                           << QStringList{"SETUP.CFG", "SETUP0.CFG"};
    QTest::newRow("no suffix") << QStringList{"Makefile"} << QStringList{"MAKEFILE."};
    QTest::newRow("dots kept") << QStringList{"my.data.file.txt"} << QStringList{"MY.DATA..TXT"};
    QTest::newRow("clash counter")
        << QStringList{"LongFileName1.txt", "LongFileName2.txt", "LongFileName3.txt"}
        << QStringList{"LONGFILE.TXT", "LONGFIL0.TXT", "LONGFIL1.TXT"};
    QTest::newRow("already 8.3") << QStringList{"readme.txt"} << QStringList{"README.TXT"};
    QTest::newRow("cut before replacing")
        << QStringList{"ab\u00e9cdefgh.t\u00fcx"} << QStringList{"AB_CDEFG.T_X"};
}

void TestUnits::shortNames()
{
    QFETCH(QStringList, local);
    QFETCH(QStringList, card);
    QCOMPARE(shortnames::makeShortNames(local), card);
}

void TestUnits::clashCounterStaysValidPastItsLimit()
{
    // 120 files that all propose LONGFILE.TXT: the 11th clash keeps 6 characters, the
    // 21st 5, and past the rule's range the counter alone is the base.
    QStringList local;
    for (int i = 0; i < 120; ++i)
        local << QStringLiteral("LongFileName%1.txt").arg(i);
    const QStringList card = shortnames::makeShortNames(local);
    QCOMPARE(card.at(1), QStringLiteral("LONGFIL0.TXT"));
    QCOMPARE(card.at(11), QStringLiteral("LONGFI10.TXT"));
    QCOMPARE(card.at(21), QStringLiteral("LONGF20.TXT"));
    QCOMPARE(QSet<QString>(card.begin(), card.end()).size(), card.size());
    QCOMPARE(shortnames::problemWithNames(card), QString());
}

void TestUnits::namesTypedByTheUser_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("ok");
    QTest::newRow("fine") << QStringList{"A.TXT", "readme.txt", "MAKEFILE.", "X"} << true;
    QTest::newRow("long base") << QStringList{"TOOLONGNAME.TXT"} << false;
    // The edge of the base: eight characters go, nine do not.
    QTest::newRow("8-character base") << QStringList{"ABCDEFGH.TXT", "ABCDEFGH"} << true;
    QTest::newRow("9-character base") << QStringList{"ABCDEFGHI.TXT"} << false;
    QTest::newRow("9-character base, no suffix") << QStringList{"ABCDEFGHI"} << false;
    QTest::newRow("long ext") << QStringList{"A.TEXT"} << false;
    QTest::newRow("two dots") << QStringList{"MY.DATA..TXT"} << false;
    QTest::newRow("blank") << QStringList{"A B.TXT"} << false;
    QTest::newRow("slash") << QStringList{"../A.TXT"} << false;
    QTest::newRow("empty") << QStringList{""} << false;
    QTest::newRow("two alike") << QStringList{"A.TXT", "a.txt"} << false;
}

void TestUnits::namesTypedByTheUser()
{
    QFETCH(QStringList, names);
    QFETCH(bool, ok);
    QCOMPARE(shortnames::problemWithNames(names).isEmpty(), ok);
}

void TestUnits::clockText_data()
{
    QTest::addColumn<QDateTime>("t");
    QTest::addColumn<QString>("full");
    QTest::addColumn<QByteArray>("command");
    QTest::newRow("evening") << QDateTime(QDate(2019, 5, 13), QTime(19, 50, 37), Qt::UTC)
                             << "05-13-2019 07:50:37 pm"
                             << QByteArray("tdate 05-13-2019 07:50:37 p\n");
    QTest::newRow("after midnight")
        << QDateTime(QDate(2020, 1, 1), QTime(0, 5, 9), Qt::UTC) << "01-01-2020 12:05:09 am"
        << QByteArray("tdate 01-01-2020 12:05:09 a\n");
    QTest::newRow("noon") << QDateTime(QDate(2021, 6, 30), QTime(12, 0, 0), Qt::UTC)
                          << "06-30-2021 12:00:00 pm"
                          << QByteArray("tdate 06-30-2021 12:00:00 p\n");
    QTest::newRow("local time converted")
        << QDateTime(QDate(2021, 6, 30), QTime(14, 0, 0), Qt::OffsetFromUTC, 2 * 3600)
        << "06-30-2021 12:00:00 pm" << QByteArray("tdate 06-30-2021 12:00:00 p\n");
}

void TestUnits::clockText()
{
    QFETCH(QDateTime, t);
    QFETCH(QString, full);
    QFETCH(QByteArray, command);
    QCOMPARE(clocktext::fullText(t), full);
    QCOMPARE(clocktext::setClockCommand(t), command);
}

void TestUnits::clockTextIgnoresTheLocale()
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString text =
        clocktext::fullText(QDateTime(QDate(2020, 1, 1), QTime(13, 1, 2), Qt::UTC));
    QLocale::setDefault(before);
    QCOMPARE(text, QStringLiteral("01-01-2020 01:01:02 pm"));
}

void TestUnits::offeredPorts()
{
    const QList<PortEntry> ports = {{QStringLiteral("ttyS0"), QString()},
                                    {QStringLiteral("ttyACM0"), QStringLiteral("P0401")}};
    QCOMPARE(::offeredPorts(ports), QStringList{QStringLiteral("ttyACM0")});
    QCOMPARE(::offeredPorts(ports, {QStringLiteral("/tmp/qx2"), QStringLiteral("ttyACM0")}),
             (QStringList{QStringLiteral("ttyACM0"), QStringLiteral("/tmp/qx2")}));
    // Port servers given now come first among those remembered, each once; devices are
    // not remembered this way.
    const QString rack3 = QStringLiteral("rfc2217://rack3:2001");
    const QString rack4 = QStringLiteral("rfc2217://rack4:2002");
    QCOMPARE(rememberedRemotePorts({rack3}, {QStringLiteral("/tmp/qx2"), rack4, rack3}),
             (QStringList{rack4, rack3}));
    QStringList many;
    for (int i = 0; i < kRememberedRemotePorts + 3; ++i)
        many << QStringLiteral("rfc2217://rack:%1").arg(2000 + i);
    QCOMPARE(rememberedRemotePorts(many, {}).size(), kRememberedRemotePorts);
}

void TestUnits::cardPaths_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("path");
    QTest::newRow("empty") << "" << QStringList();
    QTest::newRow("root") << "C:\\" << QStringList();
    QTest::newRow("slashes") << "DATA/OLD" << QStringList{"DATA", "OLD"};
    QTest::newRow("backslashes") << "\\DATA\\OLD\\" << QStringList{"DATA", "OLD"};
    QTest::newRow("drive") << "c:/DATA" << QStringList{"DATA"};
    QTest::newRow("dots") << "DATA/./OLD/../X" << QStringList{"DATA", "X"};
}

void TestUnits::cardPaths()
{
    QFETCH(QString, text);
    QFETCH(QStringList, path);
    QCOMPARE(linkcli::cardPathFrom(text), path);
}

void TestUnits::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("kind");
    QTest::newRow("window") << QStringList{} << true << int(linkcli::Request::Window);
    QTest::newRow("window ports") << QStringList{"--port", "a", "--port", "b"} << true
                                  << int(linkcli::Request::Window);
    QTest::newRow("help") << QStringList{"--help"} << true << int(linkcli::Request::Help);
    QTest::newRow("version") << QStringList{"--version"} << true << int(linkcli::Request::Version);
    QTest::newRow("ls") << QStringList{"--port", "p", "ls", "DATA"} << true
                        << int(linkcli::Request::List);
    QTest::newRow("ls two dirs") << QStringList{"--port", "p", "ls", "A", "B"} << false << 0;
    QTest::newRow("ls without port") << QStringList{"ls"} << false << 0;
    QTest::newRow("get") << QStringList{"--port", "p",    "get",   "--from", "DATA",
                                        "--to",   "/tmp", "A.TXT", "B.TXT"}
                         << true << int(linkcli::Request::Get);
    QTest::newRow("get nothing") << QStringList{"--port", "p", "get"} << false << 0;
    QTest::newRow("put names") << QStringList{"--port", "p",      "put",   "--to", "DATA",
                                              "x.bin",  "--name", "X.BIN", "y"}
                               << true << int(linkcli::Request::Put);
    QTest::newRow("put name first")
        << QStringList{"--port", "p", "put", "--name", "X", "x"} << false << 0;
    QTest::newRow("settime") << QStringList{"--port", "p", "settime"} << true
                             << int(linkcli::Request::SetTime);
    QTest::newRow("settime extra") << QStringList{"--port", "p", "settime", "now"} << false << 0;
    QTest::newRow("unknown") << QStringList{"--port", "p", "rm", "X"} << false << 0;
    QTest::newRow("option of another command")
        << QStringList{"--port", "p", "ls", "--from", "X"} << false << 0;
    QTest::newRow("port without value") << QStringList{"--port"} << false << 0;
}

void TestUnits::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(int, kind);
    linkcli::Request r;
    QString error;
    QCOMPARE(linkcli::parse(args, &r, &error), ok);
    if (!ok) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(int(r.kind), kind);
    if (r.kind == linkcli::Request::Put) {
        QCOMPARE(r.operands, (QStringList{"x.bin", "y"}));
        QCOMPARE(r.cardNames, (QStringList{"X.BIN", ""}));
        QCOMPARE(r.cardPath, QStringList{"DATA"});
    }
    if (r.kind == linkcli::Request::Get) {
        QCOMPARE(r.operands, (QStringList{"A.TXT", "B.TXT"}));
        QCOMPARE(r.localDir, QStringLiteral("/tmp"));
    }
}

void TestUnits::progressLabel_data()
{
    QTest::addColumn<qint64>("max");
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("MB") << qint64(23870000) << qint64(846000) << "0.85 of 23.87 MB";
    QTest::newRow("kB") << qint64(50000) << qint64(12340) << "12.34 of 50.00 kB";
    QTest::newRow("100000 is kB") << qint64(100000) << qint64(100000) << "100.00 of 100.00 kB";
    QTest::newRow("100001 is MB") << qint64(100001) << qint64(100001) << "0.10 of 0.10 MB";
    QTest::newRow("unit follows max") << qint64(5000000) << qint64(0) << "0.00 of 5.00 MB";
    QTest::newRow("zero max") << qint64(0) << qint64(0) << "0.00 of 0.00 kB";
}

void TestUnits::progressLabel()
{
    QFETCH(qint64, max);
    QFETCH(qint64, value);
    QFETCH(QString, text);
    ProgressLabel label;
    label.setText(QStringLiteral("before"));
    label.setMaxValue(max);
    QCOMPARE(label.text(), QStringLiteral("before"));
    label.setValue(value);
    QCOMPARE(label.text(), text);
}

void TestUnits::progressDialogPercentages()
{
    ProgressDialog d;
    Ui::ProgressDialog* ui = d.form();
    QCOMPARE(ui->pbarFile->value(), 24);
    d.setFileSize(200);
    d.setFileCompleted(50);
    QCOMPARE(ui->pbarFile->value(), 25);
    d.setFileCompleted(199);
    QCOMPARE(ui->pbarFile->value(), 99);
    QCOMPARE(ui->lFileRate->text(), QStringLiteral("0.20 of 0.20 kB"));
    d.setFileCompleted(400); // beyond the maximum: the bar stays
    QCOMPARE(ui->pbarFile->value(), 99);
    d.setSessionSize(0);
    d.setSessionCompleted(10);
    QCOMPARE(ui->pbarTotal->value(), 24);
    d.setSessionSize(1000000);
    d.setSessionCompleted(500000);
    QCOMPARE(ui->pbarTotal->value(), 50);
    QCOMPARE(ui->lJobRate->text(), QStringLiteral("0.50 of 1.00 MB"));
    d.setFileName(QStringLiteral("DATA001.DAT"));
    QCOMPARE(ui->lFileName->text(), QStringLiteral("DATA001.DAT"));

    QSignalSpy cancel(&d, &ProgressDialog::cancelTransfer);
    d.show();
    QTest::mouseClick(ui->pbCancel, Qt::LeftButton);
    QTest::mouseClick(ui->pbCancel, Qt::LeftButton);
    QCOMPARE(cancel.count(), 2);
    QVERIFY(d.isVisible());
}

void TestUnits::renameDialog()
{
    const QStringList full = {QStringLiteral("My Long Report.txt"), QStringLiteral("data.json"),
                              QStringLiteral("readme.txt")};
    const QStringList proposed = {QStringLiteral("MY_LONG_.TXT"), QStringLiteral("DATA.JSO"),
                                  QStringLiteral("README.TXT")};
    {
        // Editing the second card name; column 0 edits change nothing.
        DialogFileRename d;
        d.setFileNames(full, proposed);
        QCOMPARE(d.form()->tableWidget->rowCount(), 3);
        QSignalSpy names(&d, &DialogFileRename::newShortNames);
        d.form()->tableWidget->item(1, 1)->setText(QStringLiteral("data.js"));
        d.form()->tableWidget->item(0, 0)->setText(QStringLiteral("other"));
        d.form()->buttonBox->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(names.count(), 1);
        QCOMPARE(names.first().at(0).toStringList(),
                 (QStringList{QStringLiteral("MY_LONG_.TXT"), QStringLiteral("data.js"),
                              QStringLiteral("README.TXT")}));
        QCOMPARE(d.result(), int(QDialog::Accepted));
    }
    {
        // A name that is not 8.3, then two alike: the problem is shown, nothing is sent.
        DialogFileRename d;
        d.setFileNames(full, proposed);
        d.show();
        QSignalSpy names(&d, &DialogFileRename::newShortNames);
        d.form()->tableWidget->item(0, 1)->setText(QStringLiteral("MYLONGREPORT.TXT"));
        d.form()->buttonBox->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(names.count(), 0);
        QVERIFY(d.isVisible());
        QVERIFY(d.form()->lProblem->text().contains(QLatin1String("MYLONGREPORT.TXT")));
        d.form()->tableWidget->item(0, 1)->setText(QStringLiteral("readme.TXT"));
        d.form()->buttonBox->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(names.count(), 0);
        QVERIFY(d.form()->lProblem->text().contains(QLatin1String("two files")));
        d.form()->tableWidget->item(0, 1)->setText(QStringLiteral("REPORT.TXT"));
        d.form()->buttonBox->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(names.count(), 1);
    }
    {
        DialogFileRename d;
        d.setFileNames(full, proposed);
        QSignalSpy names(&d, &DialogFileRename::newShortNames);
        d.form()->tableWidget->item(1, 1)->setText(QStringLiteral("X.TXT"));
        d.form()->buttonBox->button(QDialogButtonBox::Cancel)->click();
        QCOMPARE(names.count(), 0);
        QCOMPARE(d.result(), int(QDialog::Rejected));
    }
}

QTEST_MAIN(TestUnits)
#include "tst_units.moc"
