#include "LineStamper.h"

QString lineStamp(const QDateTime& localTime)
{
    return localTime.toString(QStringLiteral("[HH:mm:ss.zzz] "));
}

LineStamper::LineStamper() : clock([] { return QDateTime::currentDateTime(); }) {}

QByteArray LineStamper::stamped(const char* bytes, int count)
{
    QByteArray out;
    out.reserve(count + kLineStampChars);
    QByteArray stamp; // one clock reading per run: its lines arrived together
    for (int i = 0; i < count; ++i) {
        if (atLineStart) {
            if (stamp.isEmpty())
                stamp = lineStamp(clock()).toLatin1();
            out += stamp;
            atLineStart = false;
        }
        out += bytes[i];
        atLineStart = bytes[i] == '\n';
    }
    return out;
}
