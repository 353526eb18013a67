#include "MainWindow.h"

#include "About.h"
#include "AppIdentity.h"
#include "DialogFileRename.h"
#include "LinkLog.h"
#include "LinkSession.h"
#include "ListingLine.h"
#include "ProgressDialog.h"
#include "ShortNames.h"
#include "TransferChoices.h"
#include "ui_MainWindow.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QScrollBar>
#include <QSettings>
#include <QWheelEvent>

// The resources live in a static library: this reference keeps them linked.
static void initAppResources()
{
    Q_INIT_RESOURCE(app);
}

namespace
{
const QString kComPortKey = QStringLiteral("gui/comport");
const QString kRemotePortsKey = QStringLiteral("gui/remoteports");
const QString kFontSizeKey = QStringLiteral("gui/fontSize");
const QString kWindowSizeKey = QStringLiteral("gui/windowSize");
const QString kSourcePathKey = QStringLiteral("transfer/sourcePath");
constexpr double kDefaultFontSize = 12.0;
constexpr double kZoomStep = 1.02;
constexpr double kMinFontSize = 8.0;
constexpr double kMaxFontSize = 30.0;

QUrl storedSourcePath()
{
    const QVariant value = QSettings().value(kSourcePathKey);
    return value.canConvert<QUrl>() ? value.toUrl() : QUrl();
}
} // namespace

MainWindow::MainWindow(const MainWindowOptions& opts, QWidget* parent)
    : QMainWindow(parent), session(new LinkSession(this)), ui(new Ui::MainWindow), options(opts)
{
    initAppResources();
    ui->setupUi(this);
    applyAppIdentity();
    QFontDatabase::addApplicationFont(QStringLiteral(":/app/LiberationMono-Regular.ttf"));
    if (!options.choices) {
        nativeChoices = std::make_unique<NativeTransferChoices>();
        options.choices = nativeChoices.get();
    }

    progress = new ProgressDialog(this);
    progress->setModal(true);
    connect(progress, &ProgressDialog::cancelTransfer, session, &LinkSession::handleCancel);
    connect(session, &LinkSession::transferFile, progress, &ProgressDialog::setFileName);
    connect(session, &LinkSession::transferFileSize, progress, &ProgressDialog::setFileSize);
    connect(session, &LinkSession::transferFileCompleted, progress,
            &ProgressDialog::setFileCompleted);
    connect(session, &LinkSession::jobSize, progress, &ProgressDialog::setSessionSize);
    connect(session, &LinkSession::jobCompleted, progress, &ProgressDialog::setSessionCompleted);
    connect(session, &LinkSession::exitProgressDialog, progress, &ProgressDialog::close);
    connect(session, &LinkSession::jobAborted, progress, &ProgressDialog::hide);
    connect(session, &LinkSession::jobStarted, this, [this](const QString& title) {
        progress->show();
        progress->setWindowTitle(title);
    });

    QSettings settings;
    QFont font(QStringLiteral("Liberation Mono"));
    font.setPointSizeF(settings.value(kFontSizeKey, kDefaultFontSize).toDouble());
    font.setStyleHint(QFont::TypeWriter);
    font.setStyleStrategy(QFont::NoSubpixelAntialias);
    font.setFixedPitch(true);
    ui->lwFiles->setFont(font);
    ui->lwFiles->viewport()->installEventFilter(this);
    if (settings.contains(kWindowSizeKey))
        setGeometry(settings.value(kWindowSizeKey).toRect());

    connect(session, &LinkSession::logLine, this, &MainWindow::appendLog);
    connect(session, &LinkSession::listingReceived, this, &MainWindow::parseDirectoryListing);
    connect(session, &LinkSession::listingSucceeded, this,
            [](const QString& port) { QSettings().setValue(kComPortKey, port); });
    connect(session, &LinkSession::noAnswer, this, [this] { ui->pbUpload->setEnabled(false); });
    connect(session, &LinkSession::portOpenChanged, this, [this](bool open) {
        ui->pbGetDir->setEnabled(open);
        // A listing from before the port closed may no longer be what the
        // instrument has: Download and Upload wait for a new one.
        listingCurrent = false;
        on_lwFiles_itemSelectionChanged();
    });

    fillPortList();

    ui->lw_log->addItem(QStringLiteral("     Welcome to HarbrookLink V4"));
    ui->lw_log->addItem(QStringLiteral("1) Run Skiffer from a Zelkon terminal."));
    ui->lw_log->addItem(
        QStringLiteral("2) Select USB COM port in pull-down menu. Refresh as required."));
    ui->lw_log->addItem(
        QStringLiteral("3) Press \"Get Root Directory\" to view CF card contents."));
    ui->lw_log->addItem(QStringLiteral("4) If not successful, select another port and try again."));
    ui->lw_log->addItem(QString());
}

MainWindow::~MainWindow()
{
    QSettings settings;
    settings.setValue(kFontSizeKey, ui->lwFiles->font().pointSizeF());
    settings.setValue(kWindowSizeKey, geometry());
    delete ui;
}

QString MainWindow::helpPath()
{
    // Beside the program in a build tree; in the data folder when installed.
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString beside = appDir + QStringLiteral("/help/HarbrookLinkUserGuide.html");
    const QString installed =
        appDir + QStringLiteral("/../share/harbrooklink/help/HarbrookLinkUserGuide.html");
    if (!QFileInfo::exists(beside) && QFileInfo::exists(installed))
        return QDir::cleanPath(installed);
    return beside;
}

void MainWindow::appendLog(const QString& text)
{
    ui->lw_log->insertItem(ui->lw_log->count(), text);
    ui->lw_log->scrollToBottom();
}

void MainWindow::fillPortList()
{
    // Port servers given now or before follow the local ports.
    const QStringList remote = rememberedRemotePorts(
        QSettings().value(kRemotePortsKey).toStringList(), options.extraPorts);
    QSettings().setValue(kRemotePortsKey, remote);
    const QStringList names = offeredPorts(options.portSource(), options.extraPorts + remote);
    ui->cbPorts->clear();
    ui->cbPorts->addItems(names);
    // A port named on the command line wins over the remembered one.
    const QString wanted = !options.extraPorts.isEmpty()
                               ? options.extraPorts.first()
                               : QSettings().value(kComPortKey).toString();
    const int index = wanted.isEmpty() ? -1 : names.indexOf(wanted);
    if (index >= 0)
        ui->cbPorts->setCurrentIndex(index);
    portJustSelected = false;
}

void MainWindow::on_cbPorts_currentIndexChanged(const QString& text)
{
    session->selectPort(text);
    portJustSelected = true;
}

void MainWindow::on_cbPorts_activated(int index)
{
    Q_UNUSED(index)
    // A new choice was opened just now; picking the port that is already selected
    // opens it again after a failure.
    if (!portJustSelected)
        session->reopenIfClosed();
    portJustSelected = false;
}

void MainWindow::on_toolButton_clicked()
{
    fillPortList();
}

void MainWindow::on_pbGetDir_clicked()
{
    session->performCD(QStringList());
}

void MainWindow::parseDirectoryListing(const QStringList& entries, const QStringList& others,
                                       bool anyLines)
{
    Q_UNUSED(others)
    listingCurrent = session->isPortOpen();
    ui->lwFiles->clear();
    ui->lwFiles->addItems(entries);
    ui->pbUpload->setEnabled(listingCurrent && anyLines && ui->lwFiles->selectedItems().isEmpty());
}

void MainWindow::on_lwFiles_itemActivated(QListWidgetItem* item)
{
    const QString text = item->text();
    qCDebug(lcLink) << "Item Activated: " << text;
    if (!listing::isDirectory(text))
        return;
    const QString name = listing::firstField(text);
    qCDebug(lcLink) << "Going into dir: " << name;
    if (name == QLatin1String("."))
        return;
    QStringList path = session->currentPath();
    if (name == QLatin1String("..")) {
        if (!path.isEmpty())
            path.removeLast();
    } else {
        path.append(name);
    }
    session->performCD(path);
}

void MainWindow::on_lwFiles_itemSelectionChanged()
{
    const QList<QListWidgetItem*> selected = ui->lwFiles->selectedItems();
    int files = 0;
    for (const QListWidgetItem* item : selected) {
        if (!listing::isDirectory(item->text()))
            ++files;
    }
    ui->pbTransfer->setEnabled(listingCurrent && !selected.isEmpty() && files == selected.size());
    ui->pbUpload->setEnabled(listingCurrent && selected.isEmpty());
    qCDebug(lcLink) << "Found Items: " << files;
}

void MainWindow::on_pbTransfer_clicked()
{
    if (session->refuseDownloadIfBusy())
        return;
    QStringList lines;
    const QList<QListWidgetItem*> selected = ui->lwFiles->selectedItems();
    for (const QListWidgetItem* item : selected)
        lines.append(item->text());
    const QString dir =
        options.choices->destinationDirectory(this, storedSourcePath().toLocalFile());
    if (dir.isEmpty())
        return;
    QSettings().setValue(kSourcePathKey, QUrl::fromLocalFile(dir));
    session->startDownload(lines, dir);
}

void MainWindow::on_pbUpload_clicked()
{
    if (session->refuseUploadIfBusy())
        return;
    const QList<QUrl> urls = options.choices->filesToUpload(this, storedSourcePath());
    if (urls.isEmpty())
        return;
    QSettings().setValue(
        kSourcePathKey, QUrl::fromLocalFile(QFileInfo(urls.first().toLocalFile()).canonicalPath()));
    QStringList fullNames;
    QStringList paths;
    for (const QUrl& url : urls) {
        paths.append(url.toLocalFile());
        fullNames.append(QFileInfo(url.toLocalFile()).fileName());
    }
    uploadNames = shortnames::makeShortNames(paths);
    bool differs = false;
    for (int i = 0; i < fullNames.size(); ++i)
        differs = differs || fullNames.at(i).compare(uploadNames.at(i), Qt::CaseInsensitive) != 0;
    // Names that are not usable on the card go through the dialog too, which says why.
    if (differs || !shortnames::problemWithNames(uploadNames).isEmpty()) {
        DialogFileRename dialog;
        connect(&dialog, &DialogFileRename::newShortNames, this,
                &MainWindow::updateUploadFileNames);
        dialog.setFileNames(fullNames, uploadNames);
        if (options.choices->reviewShortNames(dialog) == QDialog::Rejected)
            return;
        qCDebug(lcLink) << "Dialog Closed:" << uploadNames.value(0);
    }
    session->startUpload(urls, uploadNames);
}

void MainWindow::updateUploadFileNames(const QStringList& newNames)
{
    uploadNames = newNames;
    qCDebug(lcLink) << "Updating UploadFileNames." << newNames.value(0);
}

void MainWindow::on_pbSetTime_clicked()
{
    session->sendSetTime();
}

void MainWindow::on_pbHelp_clicked()
{
    const QString path = helpPath();
    if (!QFileInfo::exists(path))
        appendLog(QStringLiteral("The user guide was not found at %1.").arg(path));
    else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        appendLog(QStringLiteral("No program to show the user guide was found; open %1 in a "
                                 "web browser.")
                      .arg(path));
}

void MainWindow::on_pbAbout_clicked()
{
    About about(this);
    about.exec();
}

bool MainWindow::zoom(QWheelEvent* event)
{
    if (event->modifiers() != Qt::ControlModifier || event->angleDelta().x() != 0 ||
        event->angleDelta().y() == 0)
        return false;
    QFont font = ui->lwFiles->font();
    const double size = font.pointSizeF();
    font.setPointSizeF(event->angleDelta().y() > 0 ? qMin(size * kZoomStep, kMaxFontSize)
                                                   : qMax(size / kZoomStep, kMinFontSize));
    ui->lwFiles->setFont(font);
    event->accept();
    return true;
}

void MainWindow::wheelEvent(QWheelEvent* event)
{
    if (!zoom(event))
        QMainWindow::wheelEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // The list would scroll on Ctrl+wheel; the zoom comes first wherever the pointer is.
    if (watched == ui->lwFiles->viewport() && event->type() == QEvent::Wheel &&
        zoom(static_cast<QWheelEvent*>(event)))
        return true;
    return QMainWindow::eventFilter(watched, event);
}
