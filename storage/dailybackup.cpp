#include "storage/dailybackup.h"

#include "storage/backupfiles.h"
#include "storage/clock.h"
#include "storage/diskspace.h"
#include "storage/durablefile.h"
#include "storage/storagefault.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

namespace {

// A database file with the journal files SQLite may have left beside it.
void removeWithCompanions(const QString &path)
{
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
}

} // namespace

DailyBackup::DailyBackup(const QSqlDatabase &connection, const QString &databaseFile, int kept)
    : connection(connection)
    , databaseFile(databaseFile)
    , today(Clock::today())
    , kept(kept)
    , targetPath(QDir(backupfiles::folderBeside(databaseFile)).absoluteFilePath(backupfiles::dailyName(today)))
{
}

bool DailyBackup::due() const
{
    return !databaseFile.isEmpty() && QFile::exists(databaseFile) && !QFile::exists(targetPath);
}

QString DailyBackup::make(QStringList *notes)
{
    // The copy is written under a name no backup has and renamed when complete, so a crash half-way
    // never passes for today's backup.
    const QString partial = targetPath + QStringLiteral(".part");
    QString fault;
    const qint64 need = QFileInfo(databaseFile).size() + QFileInfo(databaseFile + QStringLiteral("-wal")).size();
    const QString shortage = diskspace::check(targetPath, need);
    if (!shortage.isEmpty()) {
        if (notes)
            notes->append(QStringLiteral("自动备份数据库失败: %1").arg(shortage));
        return QString();
    }
    if (durablefile::makeFolder(QFileInfo(targetPath).absolutePath(), &fault)) {
        removeWithCompanions(partial);
        copyTo(partial, &fault);
    }
    // Today's copy lasts under its name before an older one goes: a power cut never leaves one fewer.
    if (fault.isEmpty())
        durablefile::commit(partial, targetPath, &fault);
    if (!fault.isEmpty()) {
        removeWithCompanions(partial);
        if (notes)
            notes->append(QStringLiteral("自动备份数据库失败: %1").arg(fault));
        return QString();
    }
    rotate(notes);
    return targetPath;
}

bool DailyBackup::copyTo(const QString &partial, QString *fault)
{
    if (connection.isOpen()) {
        // Copying the file alone would miss committed rows that still wait in the write-ahead log;
        // VACUUM INTO writes what the connection sees.
        QSqlQuery query(connection);
        query.prepare(QStringLiteral("VACUUM INTO ?"));
        query.addBindValue(partial);
        if (query.exec())
            return true;
        *fault = storagefault::describe(query.lastError());
        return false;
    }
    // A closed connection has checkpointed its log, so the file is complete.
    QFile source(databaseFile);
    if (source.copy(partial))
        return true;
    *fault = diskspace::osReason(source.errorString());
    return false;
}

QStringList DailyBackup::surplus() const
{
    // Copies dated after today come from a clock that was once set ahead: they are neither counted nor
    // deleted, and today's copy, the newest, is never the one that goes.
    const QDir dir(QFileInfo(targetPath).absolutePath());
    const QString todayName = QFileInfo(targetPath).fileName();
    QStringList counted;
    const QStringList names = dir.entryList({backupfiles::pattern()}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        // A copy set aside before a restore is the only record of the data it replaced: never rotated out.
        if (name == todayName || backupfiles::isSetAside(name))
            continue;
        if (const QDate day = backupfiles::dailyDay(name); !day.isValid() || day <= today)
            counted << name;
    }
    const qsizetype room = QFile::exists(targetPath) ? kept - 1 : kept;
    return counted.size() > room ? counted.mid(0, counted.size() - room) : QStringList();
}

int DailyBackup::rotate(QStringList *notes)
{
    const QDir dir(QFileInfo(targetPath).absolutePath());
    const QStringList removed = surplus();
    for (const QString &name : removed)
        durablefile::remove(dir.absoluteFilePath(name));
    QStringList later;
    const QStringList names = dir.entryList({backupfiles::pattern()}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        if (const QDate day = backupfiles::dailyDay(name); day.isValid() && day > today)
            later << name;
    }
    if (!later.isEmpty() && notes)
        notes->append(QStringLiteral("“备份”文件夹里有 %1 份日期晚于今天的备份（%2），可能是电脑时钟曾被调快。"
                                     "它们不会被自动删除，请核对后自行处理。")
                          .arg(later.size())
                          .arg(later.join(QStringLiteral("、"))));
    return int(removed.size());
}
