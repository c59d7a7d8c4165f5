#include "storage/database.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

namespace {

const int backupsKept = 30;

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

QString Database::dailyBackup()
{
    if (databaseFile.isEmpty() || !QFile::exists(databaseFile))
        return QString();

    const QString folder = backupFolder();
    QDir().mkpath(folder);
    const QString target = QDir(folder).absoluteFilePath(
        QStringLiteral("plindor-%1.db").arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))));
    if (QFile::exists(target))
        return QString();

    // The copy is written under a name no backup has and renamed when complete, so a crash half-way
    // never passes for today's backup.
    const QString partial = target + QStringLiteral(".part");
    QFile::remove(partial);
    bool copied = false;
    if (connection.isOpen()) {
        // Copying the file alone would miss committed rows that still wait in the write-ahead log;
        // VACUUM INTO writes what the connection sees.
        QSqlQuery query(connection);
        query.prepare(QStringLiteral("VACUUM INTO ?"));
        query.addBindValue(partial);
        copied = query.exec();
    } else {
        // A closed connection has checkpointed its log, so the file is complete.
        copied = QFile::copy(databaseFile, partial);
    }
    if (!copied || !QFile::rename(partial, target)) {
        QFile::remove(partial);
        return QString();
    }

    QDir dir(folder);
    QStringList names = dir.entryList({QStringLiteral("plindor-*.db")}, QDir::Files, QDir::Name);
    // A copy set aside before a restore is the only record of the data it replaced: never rotated out.
    names.removeIf(&Database::isSetAsideCopy);
    while (names.size() > backupsKept)
        dir.remove(names.takeFirst());
    return target;
}
