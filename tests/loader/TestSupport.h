// Shared pieces of the loader tests: the recording feedback of tests/common, file
// helpers, and hex formatting for readable failures.
#pragma once

#include "BinFixture.h"
#include "RecordingFeedback.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

inline void PrintTo(const QByteArray& b, std::ostream* os)
{
    *os << '"' << b.toStdString() << '"';
}

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

inline bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Spaced upper-case hex of a byte range, for comparing with hand-written bytes.
inline QByteArray hexOf(const QByteArray& bytes, int at, int n)
{
    return bytes.mid(at, n).toHex(' ').toUpper();
}

// The hand-written form "60 1B 00 ..." with any spacing normalised.
inline QByteArray hexText(const char* spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', "")).toHex(' ').toUpper();
}

inline QStringList filesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// A map listing with the labels the converter rewrites.
inline QByteArray sampleMap()
{
    return binfixture::mapListing({{"__start", 0x0}, {"main", 0x144}, {"putc", 0x200}},
                                  {{"gBuffer", -160}, {"gCount", -32}, {"gFlag", 8}});
}
