// The translation of received bytes, case by case: runs, BS, BEL and line breaks.
#include "Cp437.h"
#include "TerminalTranslator.h"

#include <QtTest>

namespace
{

// Writes what the translator produced as one string: [run] <BS> <BEL>.
class OpLog : public TerminalOutput
{
public:
    void run(const char* bytes, int count) override
    {
        log += '[' + QByteArray(bytes, count) + ']';
        runSizes << count;
    }
    void backspace() override { log += "<BS>"; }
    void bell() override { log += "<BEL>"; }

    QByteArray log;
    QList<int> runSizes;
};

using Deliveries = QList<QByteArray>;

} // namespace

class TranslatorTest : public QObject
{
    Q_OBJECT

private slots:
    void translates_data();
    void translates();
    void cp437_data();
    void cp437();
    void pasteBytes_data();
    void pasteBytes();
};

void TranslatorTest::translates_data()
{
    QTest::addColumn<Deliveries>("deliveries");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray x1020(1020, 'x'), x1021(1021, 'x');
    QTest::newRow("CR LF in one delivery") << Deliveries{"A\r\nB"} << QByteArray("[A\r\nB]");
    QTest::newRow("CR ends delivery, next opens with LF")
        << Deliveries{"A\r", "\nB"} << QByteArray("[A\r\n][B]");
    QTest::newRow("CR ends delivery, next is x LF")
        << Deliveries{"A\r", "x\n"} << QByteArray("[A\r\n][x\r\n]");
    QTest::newRow("lone LF") << Deliveries{"A\nB"} << QByteArray("[A\r\nB]");
    QTest::newRow("lone CR mid delivery") << Deliveries{"A\rB"} << QByteArray("[A\r\nB]");
    QTest::newRow("LF first without a mark") << Deliveries{"\nA"} << QByteArray("[\r\nA]");
    QTest::newRow("CR CR LF") << Deliveries{"\r\r\n"} << QByteArray("[\r\n\r\n]");
    QTest::newRow("LF CR") << Deliveries{"a\n\rb"} << QByteArray("[a\r\n\r\nb]");
    QTest::newRow("mark cleared by any first byte")
        << Deliveries{"A\r", "x", "\nB"} << QByteArray("[A\r\n][x][\r\nB]");
    QTest::newRow("mark kept across an empty delivery")
        << Deliveries{"A\r", "", "\n"} << QByteArray("[A\r\n]");
    QTest::newRow("mark then BEL then LF")
        << Deliveries{"A\r", "\a\n"} << QByteArray("[A\r\n]<BEL>[\r\n]");
    QTest::newRow("BS flushes and deletes") << Deliveries{"abc\bd"} << QByteArray("[abc]<BS>[d]");
    QTest::newRow("BS alone") << Deliveries{"ab", "\b"} << QByteArray("[ab]<BS>");
    QTest::newRow("BS BS") << Deliveries{"\b\b"} << QByteArray("<BS><BS>");
    QTest::newRow("BEL beeps, run goes on") << Deliveries{"a\ab"} << QByteArray("<BEL>[ab]");
    QTest::newRow("NUL, TAB, ESC, high bytes pass")
        << Deliveries{QByteArray("a\0\t\x1b\x80\xff", 6)} << QByteArray("[a\0\t\x1b\x80\xff]", 8);
    QTest::newRow("1024 bytes in two runs")
        << Deliveries{QByteArray(1024, 'x')} << "[" + x1021 + "][xxx]";
    QTest::newRow("CR LF split at the run limit")
        << Deliveries{x1020 + "\r\n"} << "[" + x1020 + "\r][\n]";
    QTest::newRow("expanded CR after a full run")
        << Deliveries{x1021 + "\r"} << "[" + x1021 + "][\r\n]";
    QTest::newRow("expanded CR may make 1022")
        << Deliveries{x1020 + "\ry"} << "[" + x1020 + "\r\n][y]";
}

void TranslatorTest::translates()
{
    QFETCH(Deliveries, deliveries);
    QFETCH(QByteArray, expected);
    TerminalTranslator translator;
    OpLog log;
    for (const QByteArray& delivery : deliveries)
        translator.deliver(delivery.constData(), delivery.size(), log);
    QCOMPARE(log.log, expected);
    for (int size : qAsConst(log.runSizes))
        QVERIFY(size <= TerminalTranslator::kRunLimit + 1);
}

void TranslatorTest::cp437_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("unicode");
    QTest::newRow("NUL not shown") << 0x00 << 0x0000;
    QTest::newRow("smiley") << 0x01 << 0x263A;
    QTest::newRow("TAB stays TAB") << 0x09 << 0x0009;
    QTest::newRow("ESC arrow") << 0x1B << 0x2190;
    QTest::newRow("space") << 0x20 << 0x0020;
    QTest::newRow("tilde") << 0x7E << 0x007E;
    QTest::newRow("DEL house") << 0x7F << 0x2302;
    QTest::newRow("C cedilla") << 0x80 << 0x00C7;
    QTest::newRow("box vertical") << 0xB3 << 0x2502;
    QTest::newRow("full block") << 0xDB << 0x2588;
    QTest::newRow("sharp s") << 0xE1 << 0x00DF;
    QTest::newRow("nbsp") << 0xFF << 0x00A0;
}

void TranslatorTest::cp437()
{
    QFETCH(int, byte);
    QFETCH(int, unicode);
    const QChar shown = cp437::displayChar(static_cast<unsigned char>(byte));
    QCOMPARE(int(shown.unicode()), unicode);
    unsigned char back = 0;
    if (unicode != 0) {
        QVERIFY(cp437::byteForDisplayChar(shown, &back));
        QCOMPARE(int(back), byte);
    } else {
        QVERIFY(!cp437::byteForDisplayChar(shown, &back));
    }
}

void TranslatorTest::pasteBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII with controls")
        << QStringLiteral("DIR\r\n\t\x1b") << QByteArray("DIR\r\n\t\x1b");
    QTest::newRow("CP437 letters")
        << QStringLiteral("\u00C7\u00FC\u00E9") << QByteArray("\x80\x81\x82");
    QTest::newRow("box drawing") << QStringLiteral("\u2554\u2550\u2557")
                                 << QByteArray("\xC9\xCD\xBB");
    QTest::newRow("no byte: euro") << QStringLiteral("5\u20AC") << QByteArray("5?");
    QTest::newRow("no byte: glyph of a control") << QStringLiteral("\u263A") << QByteArray("?");
    QTest::newRow("outside the basic plane is one ?") << QString::fromUtf8("a\xF0\x9F\x98\x80"
                                                                           "b")
                                                      << QByteArray("a?b");
}

void TranslatorTest::pasteBytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(cp437::fromUnicode(text), bytes);
}

QTEST_APPLESS_MAIN(TranslatorTest)
#include "tst_translator.moc"
