#pragma once

#include <QSqlDatabase>
#include <QString>

// What the store takes on the disk and how much room is left, from file sizes, SQLite's page counts and
// a count of the versions: cheap enough for every refresh, however large the versions are.
struct StorageFigures
{
    // The database file with its write-ahead log.
    qint64 databaseBytes = 0;
    int versions = 0;
    // The bytes of the versions' snapshots, as noted when each was stored.
    qint64 versionBytes = 0;
    // What one more version takes: the last one stored when known, else the average.
    qint64 nextVersionBytes = 0;
    int backups = 0;
    qint64 backupBytes = 0;
    // Pages inside the file that no longer hold anything: what compaction gives back.
    qint64 freeInsideBytes = 0;
    // The file's size once compacted, which a compaction also needs free while it runs.
    qint64 liveBytes = 0;
    // Free and total bytes of the disk under the data folder; -1 when unknown.
    qint64 available = -1;
    qint64 total = -1;

    // Reads them for the database on connection, with the daily copies in the backup folder beside it.
    static StorageFigures read(const QSqlDatabase &connection, const QString &databaseFile, qint64 lastVersionBytes);

    // The free space below which the operator is warned, and whether it is reached.
    qint64 warningLevel() const;
    bool warning() const;
    // How many more changes, each storing a version, fit on the disk.
    qint64 changesThatFit() const;

    // "数据库 1.2 GB（版本 200 个，约 1.1 GB）· 备份 30 份 36.0 GB · 磁盘剩余 120.5 GB"
    QString summary() const;
};
