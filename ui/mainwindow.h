#pragma once

#include <QJsonObject>
#include <QList>
#include <QMainWindow>
#include <QStringList>
#include <QUrl>

#include <functional>

class DataPage;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QNetworkAccessManager;
class QNetworkReply;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QTableWidget;
class QTimer;
class SyncServer;
struct TableInfo;

// The program's only window: a sidebar with five entries over a stack of pages.
// Each page's definitions live in a source file of their own (datapage.cpp, phonepage.cpp, ...).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The echo services asked for the public address, in order; tests point them at local servers.
    void setPublicIpServices(const QList<QUrl> &urls);

    // The program log so far, one line per entry; later lines follow through logged().
    QString programLog() const;
    // What a phone needs to connect: addresses, port and key, in one line of text.
    QString phoneConnectionText() const;

Q_SIGNALS:
    void logged(const QString &line);

private Q_SLOTS:
    void onNavChanged(int row);
    void onAddRow();
    void onEditRow();
    void onDeleteRow();
    void onExportCsv();
    void onMakeSnapshot();
    void onRollback();
    void onCopyKey();
    void onNewKey();
    void onSaveSettings();
    void onToggleServer();
    void refreshAll();
    void updateServerState();
    void fetchPublicIP();

private:
    // Frame
    void buildUi();
    void appendLog(const QString &text);
    void logLine(const QString &line);
    void onMerging(bool busy);
    // A splash shown while a large database is backed up at start, until the window is up; none when
    // the backup is quick.
    void showBackupSplash();
    void refreshStatusCard();

    // Settings file, held in config; settings.h has its rules
    void loadConfig();
    void saveConfig();

    // The table and id of the row the edit and delete actions work on; tells the operator when there is none.
    bool selectedRow(const TableInfo **table, QString *id);

    // Row editor
    QJsonObject showRowEditor(const QString &table, const QString &title, const QStringList &fields,
                              const QJsonObject &existing, bool isNew);
    // The path of every change from the data page: a version is saved first, then `write` gives the
    // changed row's id, or an empty one with the reason set. A failure is told and not logged; a change
    // is logged and the pages showing the data are refreshed. `id` is empty for a new row.
    void applyChange(const TableInfo &table, const QString &action, const QString &id, const QString &failure,
                     const std::function<QString(QString *error)> &write);

    // CSV export
    static QString csvField(const QJsonValue &value);
    void exportCsvTo(const QString &path);

    // Phone connection page
    QWidget *buildPhonePage();
    QFrame *makeQrCard(const QString &title, const QString &hint, QLabel **codeLabel, QLabel **addressLabel);
    void showQrCard(QLabel *codeLabel, QLabel *addressLabel, const QString &host, const QString &placeholder);
    void refreshPhonePage();

    // History page
    QWidget *buildHistoryPage();
    void refreshVersions();
    void onRestoreBackup();
    void restoreBackup(const QString &file);

    // Settings page
    QWidget *buildSettingsPage();
    void restartServer();
    void onAutoPublicIp();
    void startServerFromConfig();

    // Sync log page
    QWidget *buildSyncLogPage();
    void refreshSyncLog();
    void onClearSyncRecords();

    // Public address detection
    void tryPublicIpService(int index);
    void onPublicIpReply(QNetworkReply *reply, int index, const QUrl &url);

    QStackedWidget *stack = nullptr;
    QListWidget *nav = nullptr;

    DataPage *dataPage = nullptr;

    QLabel *lanQrLabel = nullptr;
    QLabel *wanQrLabel = nullptr;
    QLabel *lanAddressLabel = nullptr;
    QLabel *wanAddressLabel = nullptr;

    QTableWidget *versionsTable = nullptr;

    QLineEdit *keyEdit = nullptr;
    QLineEdit *nameEdit = nullptr;
    QLineEdit *publicHostEdit = nullptr;
    QLineEdit *portEdit = nullptr;

    QLabel *phoneHintLabel = nullptr;
    QLabel *serviceStoppedLabel = nullptr;

    QPushButton *toggleButton = nullptr;

    QLabel *statusLabel = nullptr;

    QPlainTextEdit *logView = nullptr;

    QTableWidget *syncLogTable = nullptr;

    SyncServer *server = nullptr;

    QJsonObject config;

    bool serverRunning = false;

    QTimer *refreshTimer = nullptr;
    QTimer *activityRefresh = nullptr;

    QNetworkAccessManager *ipLookup = nullptr;
    bool ipLookupBusy = false;
    QList<QUrl> publicIpServices;

    friend class MainWindowTest;
};
