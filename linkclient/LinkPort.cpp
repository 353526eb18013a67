#include "LinkPort.h"

#include "LocalLinkPort.h"

std::unique_ptr<LinkPort> LinkPort::create(const QString& name)
{
    // Each kind of port is recognised by its name here; every name so far is a
    // local device.
    return std::make_unique<LocalLinkPort>(name);
}
