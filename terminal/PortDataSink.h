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
};
