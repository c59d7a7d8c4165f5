#include "storage/compactor.h"

#include "storage/database.h"
#include "storage/diskspace.h"
#include "storage/durablefile.h"
#include "storage/handoff.h"
#include "storage/storagefault.h"
#include "storage/storagefigures.h"

#include <QAtomicInteger>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <memory>

namespace {

QAtomicInteger<int> serial;

} // namespace

Compactor::Compactor(Database &database, const QSqlDatabase &connection, const Progress &progress)
    : database(database)
    , connection(connection)
    , progress(progress)
{
}

bool Compactor::compact(qint64 *before, qint64 *after, QString *error)
{
    master = database.fileName();
    const QString unusable = database.unusableReason();
    if (master.isEmpty() || !unusable.isEmpty()) {
        storagefault::report(error, unusable.isEmpty() ? QStringLiteral("数据库未打开") : unusable);
        return false;
    }
    const qint64 live = StorageFigures::read(connection, master, 0).liveBytes;
    // The compact copy stands beside the file until it replaces it.
    const QString shortage = diskspace::check(master, live);
    if (!shortage.isEmpty()) {
        storagefault::report(error, shortage);
        return false;
    }
    QString driverText;
    if (!database.emptyLog(&driverText)) {
        storagefault::report(error, QStringLiteral("当前数据库正被使用，无法把它完整写入文件")
                                        + (driverText.isEmpty() ? QString() : QStringLiteral(": ") + driverText));
        return false;
    }
    *before = QFileInfo(master).size();

    const QString copy = master + QStringLiteral(".compacting");
    QFile::remove(copy);
    QString why;
    if (!writeCopy(copy, live, &why)) {
        QFile::remove(copy);
        storagefault::report(error, QStringLiteral("压缩数据库失败: %1；数据库未改动").arg(why));
        return false;
    }

    // The log beside the file belongs to the file being replaced: it goes, lasting, before the copy
    // takes the file's name, or it would be replayed into the copy.
    database.close();
    for (const QString &companion : {master + QStringLiteral("-wal"), master + QStringLiteral("-shm")}) {
        if (QFileInfo::exists(companion) && !durablefile::remove(companion)) {
            QFile::remove(copy);
            return reopen(QStringLiteral("无法删除 %1").arg(QFileInfo(companion).fileName()), error);
        }
    }
    if (!durablefile::flushFolder(QFileInfo(master).absolutePath(), &why) || !durablefile::commit(copy, master, &why)) {
        QFile::remove(copy);
        return reopen(why, error);
    }
    if (!database.open(master, &why)) {
        storagefault::report(error, QStringLiteral("压缩后打开数据库失败: ") + why);
        return false;
    }
    *after = QFileInfo(master).size();
    return true;
}

bool Compactor::writeCopy(const QString &copy, qint64 expected, QString *why)
{
    const QString file = master;
    const QString name = QStringLiteral("compact-%1").arg(serial.fetchAndAddRelaxed(1));
    // One statement writes the whole copy; it runs on a thread of its own so that the caller can show
    // how far the copy has grown meanwhile.
    const std::unique_ptr<QThread> writer(QThread::create([&file, &copy, &name, why] {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(file);
            if (!db.open()) {
                *why = diskspace::osReason(db.lastError().text());
            } else {
                QSqlQuery query(db);
                query.prepare(QStringLiteral("VACUUM INTO ?"));
                query.addBindValue(copy);
                if (!query.exec())
                    *why = storagefault::describe(query.lastError());
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        handoff::release(why);
    }));
    writer->start();
    do {
        if (progress)
            progress(QStringLiteral("正在压缩数据库…"), qMin(QFileInfo(copy).size(), expected), expected);
    } while (!writer->wait(100));
    handoff::acquire(why);
    if (!why->isEmpty())
        return false;
    if (progress)
        progress(QStringLiteral("正在压缩数据库…"), expected, expected);
    return true;
}

bool Compactor::reopen(const QString &why, QString *error)
{
    QString reopenError;
    if (!database.open(master, &reopenError))
        storagefault::report(error,
                             QStringLiteral("压缩数据库失败: %1；重新打开数据库也失败了: %2").arg(why, reopenError));
    else
        storagefault::report(error, QStringLiteral("压缩数据库失败: %1；数据库未改动").arg(why));
    return false;
}
