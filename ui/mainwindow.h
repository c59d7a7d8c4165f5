#pragma once

#include <QDate>
#include <QJsonObject>
#include <QMainWindow>

class DataPage;
class HistoryPage;
class PhonePage;
class ProgramCore;
class QCloseEvent;
class QLabel;
class QListWidget;
class QStackedWidget;
class QThread;
class QTimer;
class SettingsPage;
class SyncLogPage;
class SyncServer;

// The program's only window: a sidebar with the navigation and the status card beside a stack of
// pages, each a class of its own. It shows what the program's core does and passes the pages' requests
// on to it.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The pages, in the order of their navigation entries.
    enum class Page {
        Data,
        Phone,
        History,
        Settings,
        SyncLog
    };

    // Shows this core, and starts it unless it runs already. Without one the window makes a core of its own.
    explicit MainWindow(ProgramCore *core = nullptr, QWidget *parent = nullptr);
    ~MainWindow() override;

    ProgramCore &programCore() const { return *core; }
    // The program log so far, one line per entry.
    QString programLog() const;
    // The settings in force, as the settings file holds them.
    const QJsonObject &currentSettings() const;
    bool isServiceRunning() const;
    // The status card's counts are being read.
    bool isCounting() const { return counter != nullptr; }

protected:
    // Closing lets the writes under way end first, and the phones waiting for them get their answers.
    void closeEvent(QCloseEvent *event) override;

private Q_SLOTS:
    void onNavChanged(int row);
    void refreshAll();
    void updateServerState();
    void fetchPublicIP();

private:
    void buildUi();
    void onMerging(bool busy);
    void setStatusText(const QString &text);
    void refreshStatusCard();
    // What phones did since the last look: the sync-log records, then the status card.
    void refreshSyncLogAndStatus();
    void refreshPhonePage();

    void newKey();
    void saveSettings(const QString &key, const QString &name, int port, const QString &publicHost);
    void onServiceChanged();
    void restoreBackup(const QString &file);
    // What the store takes, on the settings page and the status card's storage line.
    void showStorage();
    void warnOfDisk(const QString &text);
    void changeRetention(int keepVersions, int keepBackups);
    void compactDatabase();

    QStackedWidget *stack = nullptr;
    QListWidget *nav = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *storageLabel = nullptr;

    DataPage *dataPage = nullptr;
    PhonePage *phonePage = nullptr;
    HistoryPage *historyPage = nullptr;
    SettingsPage *settingsPage = nullptr;
    SyncLogPage *syncLogPage = nullptr;

    ProgramCore *core = nullptr;
    QTimer *activityRefresh = nullptr;
    QThread *counter = nullptr;
    bool countAgain = false;
    // The daily backup runs at start, while the window is already up.
    bool backingUp = false;
    bool closeWaited = false;
    // The day the disk warning box was last shown: at most one a day.
    QDate diskWarnedOn;
};
