// The link's trace for developers, off by default: QT_LOGGING_RULES="harbrooklink.link.debug=true"
// turns it on. What the user must see goes to the event log instead.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcLink)
