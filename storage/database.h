#pragma once

#include "storage/backupfiles.h"
#include "storage/compactor.h"
#include "storage/handoff.h"
#include "storage/importplan.h"
#include "storage/lookups.h"
#include "storage/merger.h"
#include "storage/restorer.h"
#include "storage/retention.h"
#include "storage/rowreader.h"
#include "storage/storagefigures.h"
#include "storage/versionhistory.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <QThread>

#include <atomic>
#include <mutex>
#include <type_traits>

struct PartialRestore;

class QSqlError;
class RecordSource;
class RowTable;
class RowsMemo;
class StorageThread;

// The process-wide owner of the SQLite connection: its opening and checks, the records and the sync log.
// The merge, the versions, the daily backup, the restore and the lookups are units of their own that it
// hands its connection to. Never throws and never shows anything: failures come back through results and
// the optional error text.
//
// The read-write connection belongs to the thread that opened it, the storage thread once the program
// runs one. A write asked on another thread runs there in its turn while the caller waits, so the
// program hands its writes to the storage thread as jobs instead. A reading on another thread goes
// through that thread's own read-only connection (or its ReadSession), and never waits for a writer.
class Database : public QObject
{
    Q_OBJECT

public:
    static Database &instance();

    // From now on every write runs on this thread; null goes back to the thread that opens.
    void setWriterThread(StorageThread *writer);
    // Runs work on the thread that owns the read-write connection and waits for it: for a caller that
    // must reach the connection itself by its name.
    void onConnectionThread(const std::function<void()> &work);
    // Closes the calling thread's read-only connection: before the file is replaced or closed for good.
    // The next reading opens it again.
    void closeReading();

    bool open(const QString &path, QString *error);
    void close();
    bool isOpen() const;
    // Why the data cannot be served now: a failed opening, a damaged or read-only file, or no open
    // connection. Empty while the database is usable.
    QString unusableReason() const;
    // Reads every data table and the sync log through and tries a write that is rolled back; open runs
    // it. On failure *error holds the reason with what the operator can do about it.
    bool checkUsable(QString *error);
    QString fileName() const;
    // Writes everything committed from the log into the file and empties the log. False while another
    // connection still reads from the log, with the driver's text when it gave one.
    bool emptyLog(QString *driverText);

    // Records
    // The clock's time as rows are stamped with it.
    static QString nowText();
    static QVariant toSqlValue(const QJsonValue &v);
    QString newId(const QString &table);
    QJsonArray rows(const QString &table);
    QJsonArray rows(const QString &table, RowsMemo *memo);
    // A reading that fails gives an empty array and its reason in error.
    QJsonArray rows(const QString &table, RowsMemo *memo, QString *error);
    // The same reading through QSqlQuery, with the driver's own conversions: rows() falls back to it
    // where it cannot read straight from SQLite (readsDirectly() false).
    QJsonArray rowsThroughQuery(const QString &table, RowsMemo *memo = nullptr);
    bool readsDirectly() const;
    // The live rows of a table in one compact block, for a reader that keeps a whole table (the data
    // page). Rows still current (nothing written since, by any connection) are kept without a statement.
    // A reading that fails leaves no rows and gives its reason.
    bool readTable(const QString &table, RowTable *rows, QString *error = nullptr);
    // The same on a read-only connection of its own to the file, so that it may run on any thread.
    static bool readTableFrom(const QString &file, const QString &table, RowTable *rows, QString *error = nullptr)
    {
        return RowReader::readTableFrom(file, table, rows, error);
    }
    QJsonObject counts();
    QJsonObject counts(QString *error);
    QString upsert(const QString &table, const QJsonObject &record, QString *error);
    bool updateRecord(const QString &table, const QString &id, const QJsonObject &values, QString *error);
    bool softDelete(const QString &table, const QString &id, QString *error);
    bool hasChildren(const QString &table, const QString &id);
    int countItemsUsing(const QString &table, const QString &id);

    // Snapshot document and versions
    QJsonObject snapshotDocument();
    // The same document as compact UTF-8 JSON, written straight from the rows.
    // Empty, with the reason in error, when a table could not be read whole.
    QByteArray snapshotText(QString *error = nullptr);
    // Refused, before anything is written, when the version would leave the disk too full.
    bool saveVersion(const QString &reason, const QString &source, QString *error = nullptr);
    QList<VersionInfo> listVersions(int limit) { return VersionHistory(reading()).list(limit); }
    // All or nothing: false, with a reason in error for a fault of the database, leaves the data as it was.
    bool rollbackTo(int versionId, const QString &source, QString *error = nullptr);
    int nextVersion(int versionId) { return VersionHistory(reading()).nextAfter(versionId); }
    int newestVersionBefore(const QString &reason, const QString &at)
    {
        return VersionHistory(reading()).newestBefore(reason, at);
    }
    // The snapshot texts of these versions, 0 standing for the data now, all of one state of the database,
    // read on a read-only connection of its own so that it may run on any thread.
    static bool readSnapshots(const QString &file, const QList<int> &versionIds, QList<QByteArray> *texts,
                              QString *error);
    // Writes chosen rows back whole or not at all, in one transaction: the version "恢复部分行前", every
    // row stamped now, and the sync-log row. False, with the reason, leaves the data as it was.
    bool restoreRows(const PartialRestore &restore, QString *error);

    // Merge of a pushed document
    MergeResult merge(const QJsonObject &document);
    MergeResult merge(const RecordSource &source);
    // Saves a version with this reason first; the version and the merge are stored together or not at all.
    MergeResult merge(const RecordSource &source, const QString &versionReason, const QString &versionSource);

    // CSV import
    // What an import into the table is planned against; false with the reason when it cannot be read.
    bool importBasis(const QString &table, ImportBasis *basis, QString *error);
    // Writes a planned import whole or not at all, in one transaction: the version "导入 CSV 前", every
    // planned row (new ones get an id made as the editor makes one, stamps as its save sets them) and the
    // sync-log row. False, with the reason, leaves the data as it was.
    bool importRows(const ImportPlan &plan, const QString &fileName, QString *error);

    // Sync log and daily backup
    void logSync(const QString &peer, const QString &direction, const QString &summary);
    QJsonArray recentSyncLog(int limit);
    int clearSyncLog();
    // Lines for the program log (a failed copy, copies dated after today) go to *notes when given.
    QString dailyBackup(QStringList *notes = nullptr);
    // Whether dailyBackup() would copy the database now: it is open and today has no backup yet.
    bool dailyBackupDue() const;
    QString backupFolder() const { return backupfiles::folderBeside(fileName()); }

    // Restore from a copy. The reading functions open the copy read-only on a connection of their own,
    // so they may run on any thread.
    static QList<BackupInfo> listBackups(const QString &folder) { return backupfiles::list(folder); }
    static bool isSetAsideCopy(const QString &fileName) { return backupfiles::isSetAside(fileName); }
    // The day of a daily copy ("plindor-YYYYMMDD.db"); an invalid date for any other name.
    static QDate dailyBackupDay(const QString &fileName) { return backupfiles::dailyDay(fileName); }
    // Live rows per table key; false with the reason when the file is no database of this program.
    static bool backupCounts(const QString &file, QJsonObject *counts, QString *error)
    {
        return Restorer::backupCounts(file, counts, error);
    }
    // "ok", or what PRAGMA quick_check or the opening reported.
    static QString quickCheck(const QString &file) { return Restorer::quickCheck(file); }
    using RestoreProgress = Restorer::Progress;
    // Replaces the database by the copy, after setting the current one aside in the backup folder.
    // On failure the database is as it was, open, and error says why.
    bool restoreFrom(const QString &backupFile, QString *setAsidePath, QString *error,
                     const RestoreProgress &progress = {});

    // The disk
    // File sizes, page counts and the number of versions: cheap, whatever the versions hold.
    // On any thread: it reads through the calling thread's connection.
    StorageFigures storageFigures();
    // Notes the size of up to batch versions stored without one, reading their snapshots once; how many
    // were noted, 0 when none is left.
    int noteVersionSizes(int batch);
    // What keeping this many versions and daily backups would remove now.
    Retention retentionPlan(int keepVersions, int keepBackups);
    // Keeps this many from now on, and removes the oldest beyond them at once.
    Retention setRetention(int keepVersions, int keepBackups);
    int keptVersions() const { return versionsKept; }
    int keptBackups() const { return backupsKept; }
    using CompactProgress = Compactor::Progress;
    // Rewrites the file to its live size; refused when the disk lacks room for the compact copy. On
    // failure the database is as it was, open, and error says why.
    bool compact(qint64 *before, qint64 *after, QString *error, const CompactProgress &progress = {});

    // Names and paths for display
    // The live items as "name（barcode）" and the live customers, each sorted by name.
    QList<IdName> itemChoices() { return Lookups(reading()).itemChoices(); }
    QList<IdName> customerChoices() { return Lookups(reading()).customerChoices(); }
    QList<IdName> queryIdName(const QString &sql) { return Lookups(reading()).queryIdName(sql); }
    QString pathOf(const QString &table, const QString &id) { return Lookups(reading()).pathOf(table, id); }
    QString displayValue(const QString &column, const QString &value)
    {
        return Lookups(reading()).displayValue(column, value);
    }
    QString lookupText(const QString &sql, const QString &value) { return Lookups(reading()).lookupText(sql, value); }

private:
    Database() = default;
    // Where a reading on the calling thread goes: its ReadSession, the read-write connection on the
    // thread that owns it, or else the thread's own read-only connection. serial tells the
    // connections apart for the readings kept between calls.
    QSqlDatabase reading(quint64 *serial = nullptr);
    QSqlDatabase threadReader(quint64 *serial);
    bool readsOnThreadReader() const;
    bool ownsConnection() const { return QThread::currentThread() == openedOn.load(); }
    // The storage thread's object when the caller is on another thread, else null.
    Mailbox *writerElsewhere() const;
    // Runs work on the storage thread and waits for it.
    template<typename Work>
    static auto callOn(Mailbox *home, Work work) -> decltype(work())
    {
        if constexpr (std::is_void_v<decltype(work())>) {
            home->call(work);
        } else {
            decltype(work()) result{};
            home->call([&result, &work] { result = work(); });
            return result;
        }
    }
    void setFailure(const QString &text);
    // A sync-log row inside a change that goes whole or not at all: its failure fails the change.
    bool logSyncChecked(const QString &peer, const QString &direction, const QString &summary, QString *error);
    Q_DISABLE_COPY(Database)
    bool createTables(QString *error);
    // Sets synchronous=FULL on the connection and checks that it took; a start-up fault otherwise.
    bool flushesEveryCommit(QString *error);
    // Marks the database unusable because of fault, and words the reason: a fault of the file itself in
    // the operator's terms with advice, anything else as fallback followed by the driver's text.
    bool refuse(const QSqlError &fault, const QString &fallback, QString *error);
    // One transaction that holds the write lock from its start.
    bool beginWrite(QString *error);
    bool commitWrite(QString *error);
    void rollbackWrite();

    QSqlDatabase connection;
    // The file and the failure are read on any thread; they change only on the writer's, under the lock.
    mutable std::mutex stateMutex;
    QString databaseFile;
    QString failure;
    std::atomic<bool> opened{false};
    std::atomic<QThread *> openedOn{nullptr};
    std::atomic<Mailbox *> writerHome{nullptr};
    // Counts successful openings, so that readings of an earlier connection are never taken for current.
    std::atomic<quint64> openings{0};
    std::atomic<int> versionsKept{200};
    std::atomic<int> backupsKept{30};
    // The size of the last version stored, once one is: what the next one will about take.
    std::atomic<qint64> lastVersionBytes{0};
};
