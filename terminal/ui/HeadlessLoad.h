// `brennock --load ...`: the headless load with the stored settings of brennock
// (COM Port and its binding, the rates and the line format).
#pragma once

int headlessLoadMain(int argc, char** argv);
