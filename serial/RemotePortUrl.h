// RemotePortUrl: a serial port on a port server, named rfc2217://HOST:PORT wherever a
// device path may stand (a command line's --port, a settings binding, a port list).
#pragma once

#include <QString>

struct RemotePortUrl {
    QString host;
    quint16 port = 0;

    // True for every name that starts with the scheme, well formed or not: such a name
    // is never a device path.
    static bool isRemote(const QString& name);
    // False for a malformed URL (no host, a port outside 1..65535, anything after it).
    static bool parse(const QString& name, RemotePortUrl* url);
};
