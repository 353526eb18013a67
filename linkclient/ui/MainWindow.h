// The transfer client's one window: the card listing, the port selector, the
// transfer buttons and the event log. The link itself lives in LinkSession; the
// window turns clicks into its requests and shows what it reports.
#pragma once

#include "PortChoice.h"

#include <QMainWindow>
#include <QStringList>

#include <memory>

class LinkSession;
class ProgressDialog;
class QListWidgetItem;
class TransferChoices;

namespace Ui
{
class MainWindow;
}

struct MainWindowOptions {
    // Ports named on the command line: added to the list, the first one selected.
    QStringList extraPorts;
    PortSource portSource = systemPorts;
    // Null: the native file dialogs.
    TransferChoices* choices = nullptr;
};

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(const MainWindowOptions& options = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    LinkSession* link() const { return session; }
    ProgressDialog* progressDialog() const { return progress; }
    Ui::MainWindow* form() const { return ui; }
    // Where Help looks for the user guide: beside the program.
    static QString helpPath();

protected:
    void wheelEvent(QWheelEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void on_cbPorts_currentIndexChanged(const QString& text);
    void on_cbPorts_activated(int index);
    void on_toolButton_clicked();
    void on_pbGetDir_clicked();
    void on_lwFiles_itemActivated(QListWidgetItem* item);
    void on_lwFiles_itemSelectionChanged();
    void on_pbTransfer_clicked();
    void on_pbUpload_clicked();
    void on_pbSetTime_clicked();
    void on_pbHelp_clicked();
    void on_pbAbout_clicked();
    void updateUploadFileNames(const QStringList& newNames);
    void parseDirectoryListing(const QStringList& entries, const QStringList& others,
                               bool anyLines);
    void appendLog(const QString& text);

private:
    void fillPortList();
    // True when the event was a Ctrl+wheel zoom step.
    bool zoom(QWheelEvent* event);

    LinkSession* session;
    Ui::MainWindow* ui;
    ProgressDialog* progress = nullptr;
    MainWindowOptions options;
    std::unique_ptr<TransferChoices> nativeChoices;
    QStringList uploadNames;
    // The combo box's current port changed (and was opened) since the last activation.
    bool portJustSelected = false;
    // The list shows a listing that came on the port as it is open now.
    bool listingCurrent = false;
};
