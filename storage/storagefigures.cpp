#include "storage/storagefigures.h"

#include "storage/backupfiles.h"
#include "storage/diskspace.h"
#include "storage/versionhistory.h"

#include <QFileInfo>
#include <QSqlQuery>

namespace {

qint64 pragmaValue(QSqlQuery &query, const QString &name)
{
    return query.exec(QStringLiteral("PRAGMA %1").arg(name)) && query.next() ? query.value(0).toLongLong() : 0;
}

} // namespace

StorageFigures StorageFigures::read(const QSqlDatabase &connection, const QString &databaseFile,
                                    qint64 lastVersionBytes)
{
    StorageFigures figures;
    if (databaseFile.isEmpty())
        return figures;
    figures.databaseBytes = QFileInfo(databaseFile).size() + QFileInfo(databaseFile + QStringLiteral("-wal")).size();

    if (connection.isOpen()) {
        QSqlQuery query(connection);
        const qint64 pageSize = pragmaValue(query, QStringLiteral("page_size"));
        const qint64 pages = pragmaValue(query, QStringLiteral("page_count"));
        const qint64 freePages = pragmaValue(query, QStringLiteral("freelist_count"));
        figures.liveBytes = (pages - freePages) * pageSize;
        figures.freeInsideBytes = freePages * pageSize;
        const VersionSizes sizes = VersionHistory(connection).sizes();
        figures.versions = sizes.versions;
        // With no size noted yet (versions stored by an older program), an even share of the pages in use
        // but one copy of the data.
        figures.versionBytes = sizes.bytes(figures.liveBytes / (qint64(figures.versions) + 1));
    }
    if (lastVersionBytes > 0)
        figures.nextVersionBytes = lastVersionBytes;
    else if (figures.versions > 0)
        figures.nextVersionBytes = figures.versionBytes / figures.versions;
    else
        figures.nextVersionBytes = figures.liveBytes;

    const QList<BackupInfo> copies = backupfiles::list(backupfiles::folderBeside(databaseFile));
    for (const BackupInfo &copy : copies) {
        if (copy.setAside)
            continue;
        ++figures.backups;
        figures.backupBytes += copy.size;
    }

    const diskspace::Space space = diskspace::of(databaseFile);
    figures.available = space.available;
    figures.total = space.total;
    return figures;
}

qint64 StorageFigures::warningLevel() const
{
    return diskspace::warningLevel(nextVersionBytes, databaseBytes, total);
}

bool StorageFigures::warning() const
{
    return available >= 0 && available < warningLevel();
}

qint64 StorageFigures::changesThatFit() const
{
    return diskspace::versionsThatFit(nextVersionBytes, {available, total});
}

QString StorageFigures::summary() const
{
    return QStringLiteral("数据库 %1（版本 %2 个，约 %3）· 备份 %4 份 %5 · 磁盘剩余 %6")
        .arg(diskspace::formatSize(databaseBytes))
        .arg(versions)
        .arg(diskspace::formatSize(versionBytes))
        .arg(backups)
        .arg(diskspace::formatSize(backupBytes))
        .arg(available >= 0 ? diskspace::formatSize(available) : QStringLiteral("未知"));
}
