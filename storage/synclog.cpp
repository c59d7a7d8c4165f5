#include "storage/database.h"

#include "storage/durablefile.h"
#include "storage/storagefault.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

namespace {

const int backupsKept = 30;

// A database file with the journal files SQLite may have left beside it.
void removeWithCompanions(const QString &path)
{
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
}

} // namespace

void Database::logSync(const QString &peer, const QString &direction, const QString &summary)
{
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("INSERT INTO sync_log (createdAt, peer, direction, summary) VALUES (?,?,?,?)"));
    query.addBindValue(nowText());
    query.addBindValue(peer);
    query.addBindValue(direction);
    query.addBindValue(summary);
    query.exec();
}

QJsonArray Database::recentSyncLog(int limit)
{
    QJsonArray result;
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT createdAt, peer, direction, summary FROM sync_log ORDER BY id DESC LIMIT ?"));
    query.addBindValue(limit);
    if (!query.exec())
        return result;
    while (query.next()) {
        result.append(QJsonObject{
            {QStringLiteral("at"), query.value(0).toString()},
            {QStringLiteral("peer"), query.value(1).toString()},
            {QStringLiteral("action"), query.value(2).toString()},
            {QStringLiteral("detail"), query.value(3).toString()},
        });
    }
    return result;
}

int Database::clearSyncLog()
{
    int count = 0;
    QSqlQuery query(connection);
    if (query.exec(QStringLiteral("SELECT COUNT(*) FROM sync_log")) && query.next())
        count = query.value(0).toInt();
    query.exec(QStringLiteral("DELETE FROM sync_log"));
    query.exec(QStringLiteral("DELETE FROM sqlite_sequence WHERE name = 'sync_log'"));
    return count;
}

QString Database::backupFolder() const
{
    return QFileInfo(databaseFile).absoluteDir().filePath(QStringLiteral("备份"));
}

QString Database::todaysBackupPath() const
{
    return QDir(backupFolder()).absoluteFilePath(
        QStringLiteral("plindor-%1.db").arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))));
}

bool Database::dailyBackupDue() const
{
    // A file that failed its check is not copied: its copy would push good ones out of the rotation.
    return failure.isEmpty() && !databaseFile.isEmpty() && QFile::exists(databaseFile)
           && !QFile::exists(todaysBackupPath());
}

QString Database::dailyBackup(QStringList *notes)
{
    if (!dailyBackupDue())
        return QString();

    const QString target = todaysBackupPath();
    const QString folder = QFileInfo(target).absolutePath();
    const QString todayName = QFileInfo(target).fileName();

    // The copy is written under a name no backup has and renamed when complete, so a crash half-way
    // never passes for today's backup.
    const QString partial = target + QStringLiteral(".part");
    QString fault;
    if (durablefile::makeFolder(folder, &fault)) {
        removeWithCompanions(partial);
        if (connection.isOpen()) {
            // Copying the file alone would miss committed rows that still wait in the write-ahead log;
            // VACUUM INTO writes what the connection sees.
            QSqlQuery query(connection);
            query.prepare(QStringLiteral("VACUUM INTO ?"));
            query.addBindValue(partial);
            if (!query.exec())
                fault = storagefault::describe(query.lastError());
        } else {
            // A closed connection has checkpointed its log, so the file is complete.
            QFile source(databaseFile);
            if (!source.copy(partial))
                fault = source.errorString();
        }
    }
    // Today's copy lasts under its name before an older one goes: a power cut never leaves one fewer.
    if (fault.isEmpty())
        durablefile::commit(partial, target, &fault);
    if (!fault.isEmpty()) {
        removeWithCompanions(partial);
        if (notes)
            notes->append(QStringLiteral("自动备份数据库失败: %1").arg(fault));
        return QString();
    }

    // Copies dated after today come from a clock that was once set ahead: they are neither counted nor
    // deleted, and the copy just made is never the one that goes.
    QDir dir(folder);
    QStringList counted;
    QStringList later;
    const QStringList names = dir.entryList({QStringLiteral("plindor-*.db")}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        // A copy set aside before a restore is the only record of the data it replaced: never rotated out.
        if (name == todayName || isSetAsideCopy(name))
            continue;
        if (const QDate day = dailyBackupDay(name); day.isValid() && day > QDate::currentDate())
            later << name;
        else
            counted << name;
    }
    while (counted.size() >= backupsKept)
        durablefile::remove(dir.absoluteFilePath(counted.takeFirst()));
    if (!later.isEmpty() && notes)
        notes->append(QStringLiteral("“备份”文件夹里有 %1 份日期晚于今天的备份（%2），可能是电脑时钟曾被调快。"
                                     "它们不会被自动删除，请核对后自行处理。")
                          .arg(later.size())
                          .arg(later.join(QStringLiteral("、"))));
    return target;
}
