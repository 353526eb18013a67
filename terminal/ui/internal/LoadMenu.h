// The load commands in the window: Load (F7), Redo Last Load (F5), Redo last Load
// CPM68K (F6), Send Binary File, the submenu of the four commands that have no
// entry of their own, the files of opened documents (recent list, command line,
// second start, dropped files), and their file dialogs. The commands themselves
// are LoadCommands; transfers show a LoadProgressDialog.
//
// One transfer at a time: the progress dialog disables the window, and a command
// that arrives while a transfer runs (a key already queued) is ignored.
#pragma once

#include "LoadCommands.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

class CMainFrame;
class DocLoadHost;
class QMenu;

class LoadMenu : public QObject
{
    Q_OBJECT

public:
    // What a file dialog is asked for; tests answer it instead of a user.
    struct FileRequest {
        QString caption;
        QString directory;   // empty: the system's default folder
        QStringList filters; // Qt name filters, the first one selected
    };
    using FileChooser = std::function<QString(const FileRequest& request)>;

    explicit LoadMenu(CMainFrame& frame);
    ~LoadMenu() override;

    LoadCommands& commands() { return *loadCommands; }
    QMenu* moreCommandsMenu() const { return moreMenu; }
    void setFileChooser(FileChooser chooser) { choose = std::move(chooser); }
    void setTiming(const MonitorTiming& t) { loadCommands->setTiming(t); }
    bool busy() const { return running; }

public slots:
    void onLoad();
    void onRedoLastLoad();
    void onRedoLastLoadCpm68k();
    void onSendBinaryFile();
    void onPostLinkAndLoad();
    void onPostLink();
    void onSendHexFile();
    void onSendCpm68kFile();
    // A file opened as a document (after the frame connected and paused).
    void onLoadRequested(const QString& path);
    void onLoadKey(int key);

private:
    QString chooseFile(const QString& caption, const QString& directory,
                       const QStringList& filters);
    QString chooseFromLastDir(const QString& caption, const QString& pattern);
    // Runs one command unless a transfer is running.
    void run(const std::function<void()>& command);
    void updateEnabled();

    CMainFrame& frame;
    std::unique_ptr<DocLoadHost> host;
    std::unique_ptr<LoadCommands> loadCommands;
    QMenu* moreMenu = nullptr;
    FileChooser choose;
    bool running = false;
};
