#include "CommThread.h"
uint32_t CommThreadProc(void*) { return 0; }
