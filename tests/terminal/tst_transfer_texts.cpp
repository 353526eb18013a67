// The texts behind Paste Date & Time and Send Special Characters: the four date
// formats for a fixed moment, the stored choice, the 256-row table, and how the value
// field is cleaned and read key by key in hexadecimal and decimal mode.
#include "DateTimeText.h"
#include "SettingsStore.h"
#include "ByteTable.h"

#include <QTemporaryDir>
#include <QtTest>

using specialchars::DisplayMode;
Q_DECLARE_METATYPE(DisplayMode)

class TransferTextsTest : public QObject
{
    Q_OBJECT

private slots:
    void dateTextForFixedMoment_data();
    void dateTextForFixedMoment();
    void dateFormatLabels();
    void storedDateChoice();
    void tableRows_data();
    void tableRows();
    void tableHasEveryValueOnce();
    void typedKeyByKey_data();
    void typedKeyByKey();
    void parsedValue_data();
    void parsedValue();
};

void TransferTextsTest::dateTextForFixedMoment_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QByteArray>("text");
    const QDateTime morning(QDate(2026, 12, 6), QTime(8, 5, 9));
    const QDateTime newYear(QDate(2000, 1, 1), QTime(0, 0, 0));
    const QDateTime lateNight(QDate(2031, 10, 29), QTime(23, 59, 59));
    QTest::newRow("0 short year") << 0 << morning << QByteArray("12/06/26 08:05:09");
    QTest::newRow("1 long year") << 1 << morning << QByteArray("12/06/2026 08:05:09");
    QTest::newRow("2 DATE short") << 2 << morning << QByteArray("DATE 12/06/26 08:05:09\r");
    QTest::newRow("3 DATE long") << 3 << morning << QByteArray("DATE 12/06/2026 08:05:09\r");
    QTest::newRow("0 year 2000 midnight") << 0 << newYear << QByteArray("01/01/00 00:00:00");
    QTest::newRow("3 year 2000 midnight")
        << 3 << newYear << QByteArray("DATE 01/01/2000 00:00:00\r");
    QTest::newRow("1 two-digit fields, 24 hours")
        << 1 << lateNight << QByteArray("10/29/2031 23:59:59");
}

void TransferTextsTest::dateTextForFixedMoment()
{
    QFETCH(int, format);
    QFETCH(QDateTime, moment);
    QFETCH(QByteArray, text);
    // The digits do not depend on the user's locale.
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    const QByteArray sent = dateTimeText(format, moment);
    QLocale::setDefault(saved);
    QCOMPARE(sent, text);
}

void TransferTextsTest::dateFormatLabels()
{
    QCOMPARE(dateTimeFormatLabel(0), QStringLiteral("MM/DD/YY HH:MM:SS"));
    QCOMPARE(dateTimeFormatLabel(1), QStringLiteral("MM/DD/YYYY HH:MM:SS"));
    QCOMPARE(dateTimeFormatLabel(2), QStringLiteral("DATE MM/DD/YY HH:MM:SS\\r"));
    QCOMPARE(dateTimeFormatLabel(3), QStringLiteral("DATE MM/DD/YYYY HH:MM:SS\\r"));
}

void TransferTextsTest::storedDateChoice()
{
    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("b.ini")));
    QCOMPARE(storedDateTimeFormat(settings), 2); // fresh installation
    storeDateTimeFormat(settings, 0);
    QCOMPARE(storedDateTimeFormat(settings), 0);
    QCOMPARE(settings.readInt(QStringLiteral("Settings"), QStringLiteral("EditPasteDateTime"), -1),
             0);
    // A value no button stands for falls back to the default.
    settings.writeInt(QStringLiteral("Settings"), QStringLiteral("EditPasteDateTime"), 9);
    QCOMPARE(storedDateTimeFormat(settings), 2);
}

void TransferTextsTest::tableRows_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("decimal");
    QTest::addColumn<QString>("hex");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("ctrl");
    QTest::newRow("NUL") << 0 << "0"
                         << "00"
                         << "NUL - null"
                         << "^@";
    QTest::newRow("STX six spaces") << 2 << "2"
                                    << "02"
                                    << "STX - start of text      "
                                    << "^B";
    QTest::newRow("LF") << 10 << "10"
                        << "0A"
                        << "LF - NL line feed, new line"
                        << "^J";
    QTest::newRow("ETB") << 23 << "23"
                         << "17"
                         << "ETB - end of trans. block"
                         << "^W";
    QTest::newRow("FS caret backslash") << 28 << "28"
                                        << "1C"
                                        << "FS - file separator"
                                        << "^\\";
    QTest::newRow("US") << 31 << "31"
                        << "1F"
                        << "US - unit separator"
                        << "^_";
    QTest::newRow("SP") << 32 << "32"
                        << "20"
                        << "SP - space"
                        << "";
    QTest::newRow("!") << 33 << "33"
                       << "21"
                       << "!"
                       << "";
    QTest::newRow("A") << 65 << "65"
                       << "41"
                       << "A"
                       << "";
    QTest::newRow("~") << 126 << "126"
                       << "7E"
                       << "~"
                       << "";
    QTest::newRow("DEL") << 127 << "127"
                         << "7F"
                         << "DEL"
                         << "";
    QTest::newRow("128 empty") << 128 << "128"
                               << "80"
                               << ""
                               << "";
    QTest::newRow("255 upper-case hex") << 255 << "255"
                                        << "FF"
                                        << ""
                                        << "";
}

void TransferTextsTest::tableRows()
{
    QFETCH(int, value);
    const specialchars::TableRow row = specialchars::tableRow(value);
    QTEST(row.decimal, "decimal");
    QTEST(row.hex, "hex");
    QTEST(row.name, "name");
    QTEST(row.ctrl, "ctrl");
}

void TransferTextsTest::tableHasEveryValueOnce()
{
    QSet<QString> hexes;
    for (int value = 0; value < specialchars::kRowCount; ++value) {
        const specialchars::TableRow row = specialchars::tableRow(value);
        QCOMPARE(row.hex.toInt(nullptr, 16), value);
        QCOMPARE(row.hex.size(), 2);
        QCOMPARE(row.ctrl.isEmpty(), value >= 32);
        QCOMPARE(row.name.isEmpty(), value >= 128);
        hexes.insert(row.hex);
    }
    QCOMPARE(hexes.size(), 256);
}

// The field after each key (or a paste of several characters at once, one step).
void TransferTextsTest::typedKeyByKey_data()
{
    QTest::addColumn<DisplayMode>("mode");
    QTest::addColumn<QStringList>("keys"); // typed one by one; several characters are one paste
    QTest::addColumn<QString>("field");    // the cleaned field at the end
    QTest::addColumn<int>("value");
    const DisplayMode hex = DisplayMode::Hex;
    const DisplayMode dec = DisplayMode::Decimal;
    QTest::newRow("hex 1 F F") << hex << QStringList{"1", "F", "F"} << "1F" << 31;
    QTest::newRow("hex 0 x 4 1") << hex << QStringList{"0", "x", "4", "1"} << "04" << 4;
    QTest::newRow("hex paste 0x41") << hex << QStringList{"0x41"} << "0" << 0;
    QTest::newRow("hex lower case") << hex << QStringList{"a", "b"} << "ab" << 0xAB;
    QTest::newRow("hex g is no digit") << hex << QStringList{"g", "7"} << "7" << 7;
    QTest::newRow("decimal 3 0 0") << dec << QStringList{"3", "0", "0"} << "255" << 255;
    QTest::newRow("decimal 2 5 6") << dec << QStringList{"2", "5", "6"} << "255" << 255;
    QTest::newRow("decimal 2 5 5") << dec << QStringList{"2", "5", "5"} << "255" << 255;
    QTest::newRow("decimal fourth key cut")
        << dec << QStringList{"1", "2", "3", "4"} << "123" << 123;
    QTest::newRow("decimal letters removed") << dec << QStringList{"A", "9"} << "9" << 9;
    QTest::newRow("decimal paste 12a4") << dec << QStringList{"12a4"} << "12" << 12;
}

void TransferTextsTest::typedKeyByKey()
{
    QFETCH(DisplayMode, mode);
    QFETCH(QStringList, keys);
    QString field;
    for (const QString& key : keys)
        field = specialchars::cleanTyped(field + key, mode); // the caret stays at the end
    QTEST(field, "field");
    QTEST(specialchars::parseValue(field, mode), "value");
}

void TransferTextsTest::parsedValue_data()
{
    QTest::addColumn<DisplayMode>("mode");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("fixed");
    QTest::newRow("hex empty is 0") << DisplayMode::Hex << "" << 0 << "";
    QTest::newRow("decimal empty is 0") << DisplayMode::Decimal << "" << 0 << "";
    QTest::newRow("hex one digit") << DisplayMode::Hex << "F" << 15 << "F";
    QTest::newRow("hex two digits") << DisplayMode::Hex << "41" << 0x41 << "41";
    QTest::newRow("hex lower") << DisplayMode::Hex << "ff" << 255 << "ff";
    QTest::newRow("decimal 65") << DisplayMode::Decimal << "65" << 65 << "65";
    QTest::newRow("decimal 999 fixed to 255") << DisplayMode::Decimal << "999" << 255 << "255";
    QTest::newRow("decimal 0") << DisplayMode::Decimal << "0" << 0 << "0";
}

void TransferTextsTest::parsedValue()
{
    QFETCH(DisplayMode, mode);
    QFETCH(QString, text);
    QString fixed;
    QTEST(specialchars::parseValue(text, mode, &fixed), "value");
    QTEST(fixed, "fixed");
    QCOMPARE(specialchars::valueText(0x0A, DisplayMode::Hex), QStringLiteral("0A"));
    QCOMPARE(specialchars::valueText(10, DisplayMode::Decimal), QStringLiteral("10"));
}

QTEST_GUILESS_MAIN(TransferTextsTest)
#include "tst_transfer_texts.moc"
