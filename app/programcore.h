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
class StorageThread;
class SyncServer;

// The program itself, with or without a window: the settings, the database with its daily backup, the
// sync service, the timers and the public address detection. A window shows what it does and asks it
// for changes; without one it runs alone and its log goes to standard output.
class ProgramCore : public QObject
{
    Q_OBJECT

public:
    explicit ProgramCore(QObject *parent = nullptr);
    ~ProgramCore() override;

    // Loads the settings and starts the service and the timers at once; the database is opened and
    // checked, then backed up for the day, as the storage thread's first jobs, and requests for its data
    // wait for the opening. Soon after, it looks for the public address. A failed opening is told
    // through startupFault; the program goes on without a database.
    void start();
    bool isStarted() const { return started; }
    // The database was opened and checked, or failed to open.
    bool isDatabaseReady() const { return opened; }

    // Lets every write asked so far end and its answer go out, then stops the service and closes the
    // database cleanly. The event loop keeps running meanwhile; a second call while it runs returns
    // at once.
    void shutDown();
    bool isShuttingDown() const { return shuttingDown; }
    // Writes are running or waiting, or a phone's answer is not out yet.
    bool isBusy() const;

    // The thread every write runs on.
    StorageThread *storage() const { return writer; }
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
        // Why the file could not be written.
        QString writeError;
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

    using Progress = std::function<void(const QString &stage, qint64 done, qint64 total)>;
    using RestoreProgress = Progress;
    using RestoreDone = std::function<void(bool restored, const QString &setAside, const QString &error)>;
    // Replaces the database by a backup on the storage thread, after the writes asked before it, with
    // phones asked to come back later meanwhile; logs what happened. progress and done are called on
    // this thread. On failure the database is as it was and error says why.
    void restoreBackup(const QString &file, const RestoreProgress &progress, const RestoreDone &done);

    // What the store takes and the room left, as of the last look (at start, every 15 seconds, after
    // each change).
    const StorageFigures &storageFigures() const { return figures; }
    // Looks again; logs, and tells storageWarning, when the free space crosses the warning level.
    void refreshStorage();
    // What keeping this many versions and backups would remove now.
    Retention retentionPlan(int keepVersions, int keepBackups) const;
    // Saves the numbers into the settings file and removes the oldest beyond them on the storage thread,
    // in its turn; done tells what went, on this thread.
    void setRetention(int keepVersions, int keepBackups, const std::function<void(const Retention &)> &done);
    using CompactProgress = Progress;
    using CompactDone = std::function<void(bool compacted, qint64 before, qint64 after, const QString &error)>;
    // Rewrites the database to its live size on the storage thread, in its turn, with phones asked to
    // come back later meanwhile; logs what happened. On failure the database is as it was and error says
    // why.
    void compactDatabase(const CompactProgress &progress, const CompactDone &done);

Q_SIGNALS:
    void logged(const QString &line);
    // The figures were read again.
    void storageChanged();
    // The free space fell below what 20 more versions and a backup need; text says how many changes fit.
    void storageWarning(const QString &text);
    // A fault at start that the operator must be told of, with its title.
    void startupFault(const QString &title, const QString &text);
    // The database was opened and checked (or failed to open): what shows its data may read it.
    void databaseReady();
    // The daily backup of a database of this many bytes is being made, until backupFinished.
    void backupStarting(qint64 bytes);
    void backupFinished();
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
    void openDatabase();
    // Stops the service, waits for the writes asked and closes the database, without delivering results.
    void finish();
    void logRetention(const Retention &done);
    // Versions stored without their size (by an older program, or in a restored copy) are measured a few
    // at a time on the storage thread, so that a write asked meanwhile waits for one batch at most.
    void noteVersionSizes();
    // Logs and tells the crossing of the warning level by the figures just read.
    void onWarningLevelCrossed();
    // What a job that replaces the database file (a restore, a compaction) gives back.
    struct FileJob
    {
        bool done = false;
        QString error;
        // The copy set aside by a restore.
        QString path;
        qint64 before = 0;
        qint64 after = 0;
    };
    // Runs job on the storage thread in its turn, with phones turned away with refusal and every reader
    // of the file closed meanwhile; progress and done on this thread.
    void replaceFile(const QString &refusal, std::function<FileJob(const Progress &)> job, const Progress &progress,
                     std::function<void(const FileJob &)> done);

    StorageThread *writer = nullptr;
    QJsonObject config;
    SyncServer *server = nullptr;
    bool serviceRunning = false;
    QTimer *statusTimer = nullptr;
    PublicAddressLookup *publicAddress = nullptr;
    QStringList logLines;
    bool started = false;
    bool opened = false;
    bool shuttingDown = false;
    StorageFigures figures;
    bool storageWarned = false;
    QTimer *storageRefresh = nullptr;
};
