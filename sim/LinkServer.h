// The Skiffer link server: single-letter commands ended by LF (c change
// directory, d list, tdate, s send a file, a abort a send, r receive a file
// of a given length), raw file data both ways, no echo and no prompt. A CR
// in a command and a loose tdate text are violations.
#pragma once

#include "InstrumentCore.h"

#include <QSaveFile>

#include <memory>

namespace qx2sim
{

class LinkServer : public ActivePart
{
public:
    using ActivePart::ActivePart;
    ~LinkServer() override;

    void start();
    int consume(const char* p, int n) override;
    qint64 deadline() const override;
    void expire() override;
    // The server has stopped reading the line (--upload-stall-after).
    bool stalled() const { return uploadStalled; }

private:
    enum class Step { Idle, Line, UploadData };

    void idleByte(unsigned char c);
    int commandLine(const char* p, int n);
    int uploadData(const char* p, int n);
    void command(char cmd, const QByteArray& arg);
    void sendLinkText(int delayMs, const QByteArray& text);
    void changeDir(const QString& path);
    void list();
    void tdate(const QString& text);
    void send(const QString& name);
    void growFile(const QString& hostPath);
    void receive(const QByteArray& request);
    void finishUpload();
    void discardUpload(const QString& why);
    void restoreUploadFolderTime();

    Step step = Step::Idle;
    char commandLetter = 0;
    QByteArray line;
    std::unique_ptr<QSaveFile> upload;
    QString uploadCardPath;
    QString uploadFolder;
    QDateTime uploadFolderStamp;
    qint64 uploadAnnounced = 0;
    qint64 uploadRemaining = 0;
    qint64 uploadReceived = 0;
    bool uploadKeep = false;
    bool uploadStalled = false;
    bool uploadTextSent = false;
    LineSettings uploadSettings;
};

} // namespace qx2sim
