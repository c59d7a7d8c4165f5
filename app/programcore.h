#pragma once

#include "storage/retention.h"
#include "storage/storagefigures.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class PublicAddressLookup;
class QTimer;
class SyncServer;

// The program itself, with or without a window: the settings, the database with its daily backup, the
// sync service, the timers and the public address detection. A window shows what it does and asks it
// for changes; without one it runs alone and its log goes to standard output.
class ProgramCore : public QObject
{
    Q_OBJECT

public:
    explicit ProgramCore(QObject *parent = nullptr);
    // Stops the service and closes the database.
    ~ProgramCore() override;

    // Loads the settings, opens the database and makes the daily backup, starts the service and the
    // timers, and soon after looks for the public address. A failed opening is told through
    // startupFault; the program goes on without a database.
    void start();
    bool isStarted() const { return started; }

    // The settings in force, as the settings file holds them.
    const QJsonObject &settings() const { return config; }
    SyncServer *syncServer() const { return server; }
    // True while the last start of the sync service succeeded and no stop followed.
    bool isServiceRunning() const { return serviceRunning; }
    // What a phone needs to connect: addresses, port and key, in one line of text.
    QString phoneConnectionText() const;
    // Every program-log line so far.
    const QStringList &programLog() const { return logLines; }

    // Writes "[HH:mm:ss] text" to the program log.
    void log(const QString &text);
    void logLine(const QString &line);

    // A new sync key, in force at once and saved where the settings file names a port.
    QString newKey();
    struct SaveResult
    {
        bool written = false;
        // Why the service could not start on the saved port; empty while it runs.
        QString startError;
    };
    // The settings from the settings page, in force at once; the service moves when the port changed.
    SaveResult saveSettings(const QString &key, const QString &name, int port, const QString &publicHost);
    // Forgets the public address and looks for it again.
    void detectPublicHostAgain();
    void fetchPublicAddress();

    void restartService();
    void toggleService();

    using RestoreProgress = std::function<void(const QString &stage, qint64 done, qint64 total)>;
    // Replaces the database by a backup, with phones asked to come back later meanwhile; logs what
    // happened. On failure the database is as it was and error says why.
    bool restoreBackup(const QString &file, QString *setAside, QString *error, const RestoreProgress &progress);

    // What the store takes and the room left, as of the last look (at start, every 15 seconds, after
    // each change).
    const StorageFigures &storageFigures() const { return figures; }
    // Looks again; logs, and tells storageWarning, when the free space crosses the warning level.
    void refreshStorage();
    // What keeping this many versions and backups would remove now.
    Retention retentionPlan(int keepVersions, int keepBackups) const;
    // Saves the numbers into the settings file and removes the oldest beyond them at once.
    Retention setRetention(int keepVersions, int keepBackups);
    using CompactProgress = std::function<void(const QString &stage, qint64 done, qint64 total)>;
    // Rewrites the database to its live size, with phones asked to come back later meanwhile; logs what
    // happened. On failure the database is as it was and error says why.
    bool compactDatabase(qint64 *before, qint64 *after, QString *error, const CompactProgress &progress);

Q_SIGNALS:
    void logged(const QString &line);
    // The figures were read again.
    void storageChanged();
    // The free space fell below what 20 more versions and a backup need; text says how many changes fit.
    void storageWarning(const QString &text);
    // A fault at start that the operator must be told of, with its title.
    void startupFault(const QString &title, const QString &text);
    // The daily backup of a database of this many bytes is about to be made.
    void backupStarting(qint64 bytes);
    // The service started, stopped or moved, or its settings changed.
    void serviceChanged();
    // The public address detection found this address and put it into the settings.
    void publicHostFound(const QString &address);
    // Time to look again at what phones did (every 15 seconds).
    void statusDue();

private:
    void loadSettings();
    void saveSettingsFile();
    // The service always runs on the saved settings, never on what the fields show unsaved.
    void startService();
    void onPublicAddressFound(const QString &address);
    // The one way the kept numbers reach storage: at start and when the operator changes them.
    Retention applyRetention();
    // Logs and tells the crossing of the warning level by the figures just read.
    void onWarningLevelCrossed();

    QJsonObject config;
    SyncServer *server = nullptr;
    bool serviceRunning = false;
    QTimer *statusTimer = nullptr;
    PublicAddressLookup *publicAddress = nullptr;
    QStringList logLines;
    bool started = false;
    StorageFigures figures;
    bool storageWarned = false;
    QTimer *storageRefresh = nullptr;
};
