#include "CommThread.h"

#include "ReaderHandOver.h"
#include "SerialPort.h"

uint32_t CommThreadProc(void* argument)
{
    auto* context = static_cast<CommThreadContext*>(argument);
    SerialPort* port = context->port;
    port->SetEventMask(kEvRxChar);
    if (!port->ArmEventWait())
        return 0xFFFFFFFFu;
    uint32_t mask = 0;
    do {
        context->handOver->awaitTurn(); // a trickling line gathers
        mask = port->GetEventResult(false);
        if (mask == 0) {
            // Nothing came meanwhile: what is held goes over before the thread sleeps
            // until characters arrive or SetEventMask (StopReader) ends the wait.
            context->handOver->release();
            mask = port->GetEventResult(true);
        }
        if (mask & kEvRxChar) {
            char buffer[kCommReadChunk];
            const int count = port->Read(buffer, kCommReadChunk, false);
            if (count > 0)
                context->handOver->handOver(buffer, count);
            if (port->lineGone())
                break; // a hung-up line may still claim queued bytes: do not spin on it
            port->ArmEventWait();
        }
    } while (mask != 0);
    // Seen once, here: the owner closes the port and tells the user.
    if (port->lineGone())
        context->handOver->lineLost();
    return 0;
}
