#include "RemotePortUrl.h"

#include <QRegularExpression>

namespace
{
const QLatin1String kScheme("rfc2217://");
}

bool RemotePortUrl::isRemote(const QString& name)
{
    return name.startsWith(kScheme, Qt::CaseInsensitive);
}

bool RemotePortUrl::parse(const QString& name, RemotePortUrl* url)
{
    if (!isRemote(name))
        return false;
    // HOST:PORT, the host a name, an IPv4 address or a bracketed IPv6 address.
    static const QRegularExpression hostPort(
        QStringLiteral("^(\\[[0-9A-Fa-f:.]+\\]|[A-Za-z0-9._-]+):([0-9]{1,5})$"));
    const QRegularExpressionMatch match = hostPort.match(name.mid(kScheme.size()));
    if (!match.hasMatch())
        return false;
    const uint port = match.captured(2).toUInt();
    if (port == 0 || port > 65535)
        return false;
    QString host = match.captured(1);
    if (host.startsWith(QLatin1Char('[')))
        host = host.mid(1, host.size() - 2);
    url->host = host;
    url->port = static_cast<quint16>(port);
    return true;
}
