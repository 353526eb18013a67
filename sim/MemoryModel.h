// What the simulated instrument remembers of each conversation, for tests and
// for the log: every LOAD with its fields, bytes, CRC and the line settings of
// its data phase; every "lo" download; files stored on or sent from the card;
// clock changes; programs started.
#pragma once

#include "HexRecords.h"
#include "LineSettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace qx2sim
{

struct LoadRecord {
    QString commandLine;   // as typed, without CR
    QString mode;          // "console" or "monitor"
    quint32 rateField = 0; // the LOAD fields, as given
    quint32 address = 0;
    quint32 count = 0;
    LineSettings commandSettings; // when the command's CR arrived
    LineSettings dataSettings;    // when the host's '+' arrived (start of the data phase)
    QByteArray data;              // every data byte received, in order
    QList<int> blockLengths;
    quint32 crc = 0;          // Crc32Update from 0 over data
    bool complete = false;    // the zero length arrived
    bool trailersOk = true;   // every block was followed by 0x00 0x00
    int ampAnswers = 0;       // answers received to '&' (each should be 0x00)
    bool ampAnswersOk = true; // every answer was 0x00
    QString outcome;          // "complete", or why the load failed or ended early
    QStringList violations;   // the host's breaches of the protocol during this load
};

struct HexLoadRecord {
    QString command;           // "lo ;B3+", "lo ;3", ...
    LineSettings dataSettings; // at the first data byte
    QByteArray raw;            // every byte of the data phase
    QList<HexRecord> records;
    int badLines = 0;     // non-empty lines that are no record, or bad checksums
    bool endSeen = false; // an end record arrived
    bool closed = false;  // the host's closing '%' arrived
    QStringList violations;
};

struct CardFileRecord {
    enum Kind { Captured, Uploaded, UploadDiscarded, Sent, SendAborted };
    Kind kind = Captured;
    QString cardPath;      // "C:\DATA\LOG0001.TXT"
    qint64 size = 0;       // bytes stored or sent
    qint64 announced = 0;  // upload: the length in the request; send: the file size
    QString options;       // capture: the text after the name, e.g. "/D 3"
    LineSettings settings; // in force during the data phase
};

struct ClockRecord {
    QString source;  // "DATE" or "tdate"
    QString text;    // as received
    QDateTime value; // the wall-clock time set (kept as UTC)
};

struct ProgramRecord {
    QString how;  // "G" or "GS"
    QString name; // GS: the name given
    quint32 address = 0;
};

struct MemoryWrite {
    quint32 address = 0;
    QByteArray bytes;
};

struct MemoryModel {
    QList<LoadRecord> loads;
    QList<HexLoadRecord> hexLoads;
    QList<CardFileRecord> cardFiles;
    QList<ClockRecord> clockSets;
    QList<ProgramRecord> programs;
    QList<MemoryWrite> writes; // in order; later writes win
    QStringList violations;    // every breach by the host, in order

    // Target memory as the writes left it; bytes never written read 0xFF.
    QByteArray read(quint32 address, int length) const;
};

} // namespace qx2sim
