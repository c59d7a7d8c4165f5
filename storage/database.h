#pragma once

#include <QJsonArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

class RecordSource;

// One entry of the version history, without its snapshot.
struct VersionInfo
{
    int id = 0;
    QString createdAt;
    QString reason;
    QString source;
    QJsonObject counts;
};

// What a merge wrote: rows per table and the summary lines shown to phones and in the sync log.
struct MergeResult
{
    QJsonObject perTable;
    QStringList details;
};

// A copy in the backup folder: a daily one, or one set aside before a restore.
struct BackupInfo
{
    QString path;
    QString fileName;
    // The day of a daily copy (at midnight), the moment of a copy set aside.
    QDateTime madeAt;
    bool setAside = false;
    qint64 size = 0;
};

// One entry of a choice list.
struct IdName
{
    QString name;
    QString id;
};

class RowsMemo;

// The process-wide owner of the SQLite connection. Never throws and never shows anything:
// failures come back through results and the optional error text.
class Database : public QObject
{
    Q_OBJECT

public:
    static Database &instance();

    bool open(const QString &path, QString *error);
    void close();
    bool isOpen() const;
    QString fileName() const { return databaseFile; }

    // Records
    static QString nowText();
    static QVariant toSqlValue(const QJsonValue &v);
    QString newId(const QString &table);
    QJsonArray rows(const QString &table);
    QJsonArray rows(const QString &table, RowsMemo *memo);
    // The same reading through QSqlQuery, with the driver's own conversions: rows() falls back to it
    // where it cannot read straight from SQLite (readsDirectly() false).
    QJsonArray rowsThroughQuery(const QString &table);
    bool readsDirectly() const;
    QJsonObject counts();
    QString upsert(const QString &table, const QJsonObject &record, QString *error);
    bool updateRecord(const QString &table, const QString &id, const QJsonObject &values, QString *error);
    bool softDelete(const QString &table, const QString &id, QString *error);
    bool hasChildren(const QString &table, const QString &id);
    int countItemsUsing(const QString &table, const QString &id);

    // Snapshot document and versions
    QJsonObject snapshotDocument();
    // The same document as compact UTF-8 JSON, written straight from the rows.
    QByteArray snapshotText();
    bool saveVersion(const QString &reason, const QString &source);
    QList<VersionInfo> listVersions(int limit);
    bool rollbackTo(int versionId, const QString &source);

    // Merge of a pushed document
    MergeResult merge(const QJsonObject &document);
    MergeResult merge(const RecordSource &source);

    // Sync log and daily backup
    void logSync(const QString &peer, const QString &direction, const QString &summary);
    QJsonArray recentSyncLog(int limit);
    int clearSyncLog();
    QString dailyBackup();
    QString backupFolder() const;

    // Restore from a copy. The reading functions open the copy read-only on a connection of their own,
    // so they may run on any thread.
    static QList<BackupInfo> listBackups(const QString &folder);
    static bool isSetAsideCopy(const QString &fileName);
    // Live rows per table key; false with the reason when the file is no database of this program.
    static bool backupCounts(const QString &file, QJsonObject *counts, QString *error);
    // "ok", or what PRAGMA quick_check or the opening reported.
    static QString quickCheck(const QString &file);
    using RestoreProgress = std::function<void(const QString &stage, qint64 done, qint64 total)>;
    // Replaces the database by the copy, after setting the current one aside in the backup folder.
    // On failure the database is as it was, open, and error says why.
    bool restoreFrom(const QString &backupFile, QString *setAsidePath, QString *error,
                     const RestoreProgress &progress = {});

    // Names and paths for display
    QList<IdName> queryIdName(const QString &sql);
    QString pathOf(const QString &table, const QString &id);
    QString displayValue(const QString &column, const QString &value);
    QString lookupText(const QString &sql, const QString &value);

private:
    Database() = default;
    Q_DISABLE_COPY(Database)

    bool createTables(QString *error);
    int mergeNewer(const RecordSource &source, const QString &table, const QString &timestampColumn);
    int mergeMissing(const RecordSource &source, const QString &table);

    bool rowsDirect(const QString &table, RowsMemo *memo, QJsonArray *result);

    QSqlDatabase connection;
    QString databaseFile;
};
