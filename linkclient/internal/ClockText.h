// The instrument's clock is set in UTC with a 12-hour text,
// "MM-dd-yyyy hh:mm:ss ap", written the same whatever the PC's language.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace clocktext
{

// "05-13-2019 07:50:37 pm" for 13 May 2019 19:50:37 UTC (t is taken as UTC).
QString fullText(const QDateTime& t);
// The set-clock command: "tdate " + the full text without its last character + LF.
QByteArray setClockCommand(const QDateTime& t);

} // namespace clocktext
