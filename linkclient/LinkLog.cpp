#include "LinkLog.h"

Q_LOGGING_CATEGORY(lcLink, "harbrooklink.link", QtWarningMsg)
