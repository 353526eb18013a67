#include "LoadMenu.h"

#include "BrennockDoc.h"
#include "DocLoadHost.h"
#include "LoadProgressDialog.h"
#include "MainFrame.h"

#include <QAction>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>

namespace
{
const QString kBinPattern = QStringLiteral("*.BIN");
const QString kHexPattern = QStringLiteral("*.RHX;*.AHX;*.HEX;*.S19");
const QString kCpmPattern = QStringLiteral("*.RUN;*.APP");

QStringList filterFor(const QString& pattern)
{
    QString patterns = pattern;
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    return {QStringLiteral("%1 (%2)").arg(pattern, patterns)};
}
} // namespace

LoadMenu::LoadMenu(CMainFrame& frame) : QObject(&frame), frame(frame)
{
    host = std::make_unique<DocLoadHost>(
        frame.document(), [this](const QString& path) { this->frame.addRecentFile(path); });
    loadCommands = std::make_unique<LoadCommands>(
        *host, &frame.settings(), frame.feedback(), [this]() -> std::unique_ptr<LoadProgress> {
            return std::make_unique<LoadProgressDialog>(&this->frame);
        });

    const auto hook = [&frame](const char* name, void (LoadMenu::*slot)(), LoadMenu* self) {
        QAction* act = frame.action(QString::fromLatin1(name));
        act->setEnabled(true);
        connect(act, &QAction::triggered, self, slot);
        return act;
    };
    hook("load", &LoadMenu::onLoad, this);
    hook("redoLastLoad", &LoadMenu::onRedoLastLoad, this);
    hook("sendBinary", &LoadMenu::onSendBinaryFile, this);

    // The commands that had no menu entry, reachable from a submenu of Transfer.
    moreMenu = new QMenu(QStringLiteral("More Load Commands"), &frame);
    moreMenu->setObjectName(QStringLiteral("moreLoadMenu"));
    const auto add = [this](const char* name, const QString& text, const QString& prompt,
                            void (LoadMenu::*slot)()) {
        auto* act = new QAction(text, &this->frame);
        act->setObjectName(QString::fromLatin1(name));
        act->setStatusTip(prompt);
        connect(act, &QAction::triggered, this, slot);
        moreMenu->addAction(act);
    };
    add("postLinkAndLoad", QStringLiteral("PostLink and Load..."),
        QStringLiteral("Convert .Bin file and send .Run to target"), &LoadMenu::onPostLinkAndLoad);
    add("postLink", QStringLiteral("PostLink..."),
        QStringLiteral("Convert .Bin file to absolute load files"), &LoadMenu::onPostLink);
    add("sendHexFile", QStringLiteral("Send HEX file..."),
        QStringLiteral("Send HEX file to target"), &LoadMenu::onSendHexFile);
    add("sendCpm68kFile", QStringLiteral("Send CPM68K file..."),
        QStringLiteral("Send CPM68K file to target"), &LoadMenu::onSendCpm68kFile);
    moreMenu->addSeparator();
    add("redoLoadCpm68k", QStringLiteral("Redo last Load CPM68K\tF6"),
        QStringLiteral("Redo the last Load CPM68K"), &LoadMenu::onRedoLastLoadCpm68k);
    connect(moreMenu, &QMenu::aboutToShow, this, &LoadMenu::updateEnabled);
    updateEnabled();

    for (QAction* top : frame.menuBar()->actions()) {
        if (top->menu() && top->menu()->objectName() == QLatin1String("transferMenu")) {
            top->menu()->insertMenu(frame.action(QStringLiteral("redoLastLoad")), moreMenu);
            break;
        }
    }

    connect(&frame, &CMainFrame::loadRequested, this, &LoadMenu::onLoadRequested);
    connect(frame.view(), &CBrennockView::loadKeyReleased, this, &LoadMenu::onLoadKey);
}

LoadMenu::~LoadMenu() = default;

void LoadMenu::updateEnabled()
{
    const bool connected = frame.document().isConnected();
    frame.action(QStringLiteral("sendHexFile"))->setEnabled(connected);
    frame.action(QStringLiteral("sendCpm68kFile"))->setEnabled(connected);
}

void LoadMenu::run(const std::function<void()>& command)
{
    if (running)
        return; // a key or a queued command during a transfer
    running = true;
    command();
    running = false;
}

QString LoadMenu::chooseFile(const QString& caption, const QString& directory,
                             const QStringList& filters)
{
    const FileRequest request{caption, directory, filters};
    if (choose)
        return choose(request);
    QFileDialog dialog(&frame, caption, directory);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(0));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().constFirst();
}

QString LoadMenu::chooseFromLastDir(const QString& caption, const QString& pattern)
{
    return chooseFile(caption, loadCommands->lastDir(), filterFor(pattern));
}

void LoadMenu::onLoad()
{
    run([this] {
        // Read (and given their defaults) before the dialog; the dialog itself starts
        // in the system's default folder with the first filter.
        loadCommands->lastDir();
        loadCommands->lastExt();
        const QString path =
            chooseFile(QStringLiteral("Open"), QString(), loadcmd::loadNameFilters());
        if (path.isEmpty())
            return;
        loadCommands->rememberLoadExtension(path);
        loadCommands->OnLoadAny(path);
    });
}

void LoadMenu::onRedoLastLoad()
{
    run([this] { loadCommands->redoLastLoad(); });
}

void LoadMenu::onRedoLastLoadCpm68k()
{
    run([this] { loadCommands->redoLastLoadCpm68k(); });
}

void LoadMenu::onSendBinaryFile()
{
    run([this] {
        const QString path = chooseFile(QStringLiteral("Open"), loadcmd::defaultFolder(),
                                        {QStringLiteral("All Files (*)")});
        if (!path.isEmpty())
            loadCommands->sendBinaryFile(path);
    });
}

void LoadMenu::onPostLinkAndLoad()
{
    run([this] {
        const QString path = chooseFromLastDir(QStringLiteral("PostLink and Load"), kBinPattern);
        if (!path.isEmpty())
            loadCommands->postLinkAndLoad(path);
    });
}

void LoadMenu::onPostLink()
{
    run([this] {
        const QString path = chooseFromLastDir(QStringLiteral("PostLink"), kBinPattern);
        if (!path.isEmpty())
            loadCommands->postLinkOnly(path);
    });
}

void LoadMenu::onSendHexFile()
{
    run([this] {
        const QString path = chooseFromLastDir(QStringLiteral("Send HEX file"), kHexPattern);
        if (!path.isEmpty())
            loadCommands->sendHexFileCommand(path);
    });
}

void LoadMenu::onSendCpm68kFile()
{
    run([this] {
        const QString path = chooseFromLastDir(QStringLiteral("Send CPM68K file"), kCpmPattern);
        if (!path.isEmpty())
            loadCommands->sendCpm68kFileCommand(path);
    });
}

void LoadMenu::onLoadRequested(const QString& path)
{
    if (path.isEmpty())
        return;
    run([this, path] { loadCommands->OnLoadAny(path); });
}

void LoadMenu::onLoadKey(int key)
{
    switch (key) {
    case Qt::Key_F5:
        onRedoLastLoad();
        break;
    case Qt::Key_F6:
        onRedoLastLoadCpm68k();
        break;
    case Qt::Key_F7:
        onLoad();
        break;
    default:
        break;
    }
}
