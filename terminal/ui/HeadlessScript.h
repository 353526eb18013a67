// brennock without a window: the load and the console script of the command line
// (`--load FILE`, `--send`, `--expect`, ...), with the stored settings of brennock
// (COM Port and its binding, the rates, the line format, the paste pacing).
#pragma once

// True when arg starts a run without a window.
bool isHeadlessRunOption(const char* arg);

int headlessRunMain(int argc, char** argv);

// The window needs a display unless Qt is told to use a platform that needs none.
// Empty when it can be shown, else the message for the user.
const char* missingDisplayMessage();
