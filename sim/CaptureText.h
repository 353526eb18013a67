// CAPTURE at the console or in the monitor: the text up to Ctrl-C is stored
// as a file in the current card directory.
#pragma once

#include "InstrumentCore.h"

namespace qx2sim
{

class CaptureText : public ActivePart
{
public:
    using ActivePart::ActivePart;

    void start(const QStringList& args);
    int consume(const char* p, int n) override;

private:
    void finish();
    bool storeFile(const QString& name, const QByteArray& bytes, QString* cardPath, QString* why);

    QString name;
    QString captureOptions;
    QByteArray data;
};

} // namespace qx2sim
