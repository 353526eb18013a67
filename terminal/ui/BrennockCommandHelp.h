// brennock's command line as one table: `brennock --help` prints it and the man
// page is generated from it at build time.
#pragma once

#include "CommandHelp.h"

manual::CommandHelp brennockCommandHelp();
