// The load commands: Load (F7) and what it dispatches to by the last three
// characters of the path (OnLoadAny), Redo Last Load (F5), Redo last Load CPM68K
// (F6), Send Binary File, and the four commands without a menu entry, with the
// "LastPath" values that remember the user's choices. No widgets: the file
// dialogs are the window's; these functions take the chosen path.
//
// Paths on Linux: the path as given opens the file; its upper-cased form is used
// only for the extension test and for names sent to the instrument; folders are
// split at '/'. Remembered folders end with '/'; a folder default that named
// drive C is the user's home folder.
//
// Every function returns true when the file went to the instrument (or, for the
// redo commands, false also when nothing was stored, after telling the user).
// OnLoadAny, LoadCpm68kFile and MakeDosName keep the design's names; the rest are ours.
#pragma once

#include "LoadHost.h"
#include "LoadProgress.h"
#include "MonitorSession.h"
#include "MonitorTiming.h"

#include <QString>

class SettingsStore;
class UserFeedback;

namespace loadcmd
{
// Texts of the load commands, exactly.
extern const char* const kLoadFilter;           // the Load dialog's filter, '|'-separated
extern const char* const kLoadDefaultExtension; // "*.BIN;*.APP;*.RUN"
extern const char* const kNotConnectedText;
extern const char* const kRedoLoadEmptyText;
extern const char* const kRedoCpmEmptyText;
constexpr uint32_t kPxeAddress = 0x10000;

// The 8.3 rule for names made on the target.
QString MakeDosName(const QString& name);
// a to z made upper case in the first 256 characters; nothing else changes.
QString upperPathForm(const QString& path);
// The folder of path with its trailing '/'; empty when the path has no '/' or
// ends with one.
QString folderOf(const QString& path);
// The Load dialog's filter as Qt name filters ("Text (*.txt)" each).
QStringList loadNameFilters();
// The folder that stands for "c:\": the user's home folder, with '/'.
QString defaultFolder();
} // namespace loadcmd

class LoadCommands
{
public:
    LoadCommands(LoadHost& host, SettingsStore* settings, UserFeedback& feedback,
                 LoadProgressFactory progress = {});

    void setTiming(const MonitorTiming& t) { timing = t; }
    void setSleepFunction(MonitorSession::SleepFunction s) { sleep = std::move(s); }

    bool OnLoadAny(const QString& path);
    bool LoadCpm68kFile(const QString& path);
    // Reader stopped, SendHexFile, reader restarted.
    bool loadHexFile(const QString& path);
    bool loadPxeFile(const QString& path);
    bool captureSend(const QString& path);
    bool sendBinaryFile(const QString& path);
    bool redoLastLoad();
    bool redoLastLoadCpm68k();

    // The commands without a menu entry, after their dialog.
    bool postLinkAndLoad(const QString& path);
    bool postLinkOnly(const QString& path);
    bool sendHexFileCommand(const QString& path);
    bool sendCpm68kFileCommand(const QString& path);

    // Dialog support. "LastDir" (the home folder written when empty).
    QString lastDir();
    // "LastExt" ("*.bin" written when empty).
    QString lastExt();
    // After the Load dialog's OK: "LastExt" := "*." + the text after the last dot.
    void rememberLoadExtension(const QString& path);

    QString readPath(const char* name) const;

private:
    MonitorSession makeSession(MonitorLine& line);
    // After a conversation: the device loss it noticed, told once (by the host when it
    // can, else here). True when there was one.
    bool tellDeviceLoss();
    // A send that failed on a device that is gone: told once. True when it is gone.
    bool noteLineGone(MonitorLine& line);
    bool pxeConversation(MonitorSession& session, const QByteArray& image, const QString& target);
    MonitorLine* connectedLine(); // null after telling the user "Not connected"
    bool postLinkThenLoad(const QString& path, bool storeLoadPaths, const char* runSpecKey);
    void writePath(const char* name, const QString& value);
    void rememberLoad(const QString& path);
    std::unique_ptr<LoadProgress> openProgress(const QString& title, const QString& text, int high);
    QString sendBytesPaced(MonitorLine& line, QFile& file, qint64 size, bool stopAtText,
                           LoadProgress& progress);
    QString sendFailureText(MonitorLine& line, qint64 sent, qint64 size);
    bool reportSendFailure(MonitorLine& line, const QString& failure);
    void pause(int ms);

    LoadHost& host;
    SettingsStore* store;
    UserFeedback& feedback;
    LoadProgressFactory makeProgress;
    MonitorTiming timing;
    MonitorSession::SleepFunction sleep;
    bool deviceLossPending = false;
    QString deviceLossReason;
};
