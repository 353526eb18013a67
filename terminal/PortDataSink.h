// What the document hands received bytes to: the terminal views.
#pragma once

class PortDataSink
{
public:
    virtual ~PortDataSink() = default;
    // Bytes received, echoed locally, or printed by a loader. Always called on the UI thread,
    // synchronously; the bytes are valid only during the call.
    virtual void portData(const char* bytes, int count) = 0;
    // Connect to a newly opened port empties every view.
    virtual void clearText() = 0;
    // The bytes of the line itself, for a view that shows them apart (the hex view):
    // each delivery of the port as it is handed over, before portData, and the bytes
    // the port took for sending.
    virtual void lineReceived(const char*, int) {}
    virtual void lineSent(const char*, int) {}
    // A typed character went out: what arrives within ms (its echo) is shown at once.
    virtual void echoDue(int /*ms*/) {}
};
