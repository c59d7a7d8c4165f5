#pragma once

#include <QJsonObject>
#include <QMainWindow>

class DataPage;
class HistoryPage;
class PhonePage;
class PublicAddressLookup;
class QLabel;
class QListWidget;
class QStackedWidget;
class QTimer;
class SettingsPage;
class SyncLogPage;
class SyncServer;

// The program's only window: a sidebar with the navigation and the status card beside a stack of
// pages, each a class of its own. It holds the settings and the sync service, and answers what the
// pages ask of them.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The pages, in the order of their navigation entries.
    enum class Page { Data, Phone, History, Settings, SyncLog };

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The program log so far, one line per entry; later lines follow through logged().
    QString programLog() const;
    // What a phone needs to connect: addresses, port and key, in one line of text.
    QString phoneConnectionText() const;
    // The settings in force, as the settings file holds them.
    const QJsonObject &currentSettings() const { return config; }
    // True while the last start of the sync service succeeded and no stop followed.
    bool isServiceRunning() const { return serverRunning; }

Q_SIGNALS:
    void logged(const QString &line);

private Q_SLOTS:
    void onNavChanged(int row);
    void refreshAll();
    void updateServerState();
    void fetchPublicIP();

private:
    void buildUi();
    void appendLog(const QString &text);
    void logLine(const QString &line);
    void onMerging(bool busy);
    // A splash shown while a large database is backed up at start, until the window is up; none when
    // the backup is quick.
    void showBackupSplash();
    void refreshStatusCard();
    // What phones did since the last look: the sync-log records, then the status card.
    void refreshSyncLogAndStatus();
    void refreshPhonePage();

    // Settings file, held in config; settings.h has its rules
    void loadConfig();
    void saveConfig();
    void newKey();
    void saveSettings(const QString &key, const QString &name, int port, const QString &publicHost);
    void detectPublicHostAgain();
    void onPublicAddressFound(const QString &address);

    // The service always runs on the saved settings
    void startServerFromConfig();
    void restartServer();
    void toggleServer();

    void restoreBackup(const QString &file);

    QStackedWidget *stack = nullptr;
    QListWidget *nav = nullptr;
    QLabel *statusLabel = nullptr;

    DataPage *dataPage = nullptr;
    PhonePage *phonePage = nullptr;
    HistoryPage *historyPage = nullptr;
    SettingsPage *settingsPage = nullptr;
    SyncLogPage *syncLogPage = nullptr;

    SyncServer *server = nullptr;
    QJsonObject config;
    bool serverRunning = false;

    QTimer *refreshTimer = nullptr;
    QTimer *activityRefresh = nullptr;
    PublicAddressLookup *publicAddress = nullptr;
};
