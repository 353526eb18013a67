// harbrooklink's command line as one table: `harbrooklink --help` prints it and
// the man page is generated from it at build time.
#pragma once

#include "CommandHelp.h"

manual::CommandHelp linkCommandHelp();
