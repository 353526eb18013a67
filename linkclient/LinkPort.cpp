#include "LinkPort.h"

#include "LocalLinkPort.h"
#include "RemoteLinkPort.h"
#include "RemotePortUrl.h"

std::unique_ptr<LinkPort> LinkPort::create(const QString& name)
{
    // Each kind of port is recognised by its name here.
    if (RemotePortUrl::isRemote(name))
        return std::make_unique<RemoteLinkPort>(name);
    return std::make_unique<LocalLinkPort>(name);
}
