// The hex view's rows without widgets: the layout of a row, sent bytes marked, and the
// bound on what is kept (whole rows dropped, offsets going on).
#include "HexDump.h"

#include <QtTest>

class HexDumpTest : public QObject
{
    Q_OBJECT

private slots:
    void rowsAndSentMarks();
    void keepsTheLastBytesInWholeRows();
};

void HexDumpTest::rowsAndSentMarks()
{
    HexDump dump;
    dump.append("AT\r", 3, true);
    dump.append("\x00OK\r\n\xff", 6, false);
    dump.append("0123456789", 10, true);
    QCOMPARE(dump.rowCount(), 2);
    quint32 mask = 0;
    QCOMPARE(dump.rowText(0, &mask),
             QStringLiteral("00000000  41 54 0d 00 4f 4b 0d 0a  ff 30 31 32 33 34 35 36  "
                            "|AT..OK...0123456|"));
    QCOMPARE(mask, 0xFE07u);
    QCOMPARE(dump.rowText(1, &mask),
             QStringLiteral("00000010  37 38 39") + QString(42, QLatin1Char(' ')) +
                 QStringLiteral("|789|"));
    QCOMPARE(mask, 7u);
}

void HexDumpTest::keepsTheLastBytesInWholeRows()
{
    HexDump dump;
    dump.setLimit(100); // 112: whole rows
    QByteArray all;
    for (int i = 0; i < 3 * 1024 * 1024; i += 1000) {
        const QByteArray piece(1000, char(i / 1000));
        all += piece;
        dump.append(piece.constData(), piece.size(), (i / 1000) % 2 == 1);
    }
    QCOMPARE(dump.limit(), 112);
    QVERIFY(dump.keptBytes().size() <= 112 + 1024 * 1024 + 1000);
    QCOMPARE(dump.firstOffset() % HexDump::kBytesPerRow, 0);
    QCOMPARE(dump.endOffset(), qint64(all.size()));
    QCOMPARE(dump.keptBytes(), all.mid(int(dump.firstOffset())));
    const qint64 last = dump.endOffset() - 1;
    QCOMPARE(dump.wasSent(last), (last / 1000) % 2 == 1);
    QCOMPARE(dump.wasSent(last - 1000), (last / 1000) % 2 == 0);
    QVERIFY(dump.rowText(0).startsWith(
        QStringLiteral("%1  ").arg(dump.firstOffset(), 8, 16, QLatin1Char('0'))));
}

QTEST_GUILESS_MAIN(HexDumpTest)
#include "tst_hexdump.moc"
