#include "storage/restorer.h"

#include "catalogue/catalogue.h"
#include "storage/backupfiles.h"
#include "storage/clock.h"
#include "storage/database.h"
#include "storage/diskspace.h"
#include "storage/durablefile.h"
#include "storage/handoff.h"
#include "storage/storagefault.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>

#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

namespace {

const qint64 copyChunk = 8 * 1024 * 1024;

// A copy opened as immutable: nothing is locked, no -wal or -shm is read or left beside it.
class CopyConnection
{
public:
    explicit CopyConnection(const QString &file)
        : name(QStringLiteral("backup-copy-%1").arg(serial.fetchAndAddRelaxed(1)))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
        db.setDatabaseName(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()).toString(QUrl::FullyEncoded)
                           + QStringLiteral("?immutable=1"));
        if (!QFileInfo(file).isFile())
            problem = QStringLiteral("文件不存在");
        else if (!db.open())
            problem = db.lastError().text();
    }
    ~CopyConnection()
    {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    Q_DISABLE_COPY(CopyConnection)

    QSqlDatabase database() const { return QSqlDatabase::database(name, false); }

    const QString name;
    QString problem;

private:
    static QAtomicInteger<int> serial;
};

QAtomicInteger<int> CopyConnection::serial;

// Copies in pieces, reporting each, and makes the copy durable before it counts as made.
bool copyInPieces(const QString &from, const QString &to, const QString &stage, const Restorer::Progress &progress,
                  QString *why)
{
    why->clear();
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *why = diskspace::osReason(in.errorString());
        return false;
    }
    QFile out(to);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        *why = diskspace::osReason(out.errorString());
        return false;
    }
    const qint64 total = in.size();
    qint64 done = 0;
    QByteArray buffer(int(qMin(copyChunk, qMax<qint64>(total, 1))), Qt::Uninitialized);
    if (progress)
        progress(stage, 0, total);
    while (done < total) {
        const qint64 read = in.read(buffer.data(), buffer.size());
        if (read <= 0) {
            *why = read < 0 ? diskspace::osReason(in.errorString()) : QStringLiteral("文件在复制时变短了");
            break;
        }
        // A full disk first takes part of a piece and says nothing; the next write names the fault.
        qint64 written = 0;
        while (written < read) {
            const qint64 step = out.write(buffer.constData() + written, read - written);
            if (step <= 0)
                break;
            written += step;
        }
        if (written < read) {
            *why = diskspace::osReason(out.errorString());
            break;
        }
        done += read;
        if (progress)
            progress(stage, done, total);
    }
    if (done < total || !durablefile::flush(out, why)) {
        out.close();
        QFile::remove(to);
        return false;
    }
    out.close();
    return true;
}

// The previous database needs no second copy while it is not written: a second name for the same file is
// made at once, whatever its size. Where the file system has no such names, it is copied, unless the copy
// would leave the disk too full; putting the previous database back is the way out of a failure and is
// never refused for the margin.
bool linkOrCopy(const QString &from, const QString &to, const QString &stage, const Restorer::Progress &progress,
                QString *why, bool puttingBack = false)
{
#ifndef Q_OS_WIN
    // Windows shares one file's sharing rules among its links: a link to the open database could not be
    // renamed while SQLite holds the file, so there the copy is made whole.
    std::error_code code;
    std::filesystem::create_hard_link(QFileInfo(from).filesystemAbsoluteFilePath(),
                                      QFileInfo(to).filesystemAbsoluteFilePath(), code);
    if (!code) {
        if (progress)
            progress(stage, 1, 1);
        return true;
    }
#endif
    if (!puttingBack) {
        *why = diskspace::check(to, QFileInfo(from).size());
        if (!why->isEmpty())
            return false;
    }
    return copyInPieces(from, to, stage, progress, why);
}

} // namespace

Restorer::Restorer(Database &database, const Progress &progress)
    : database(database)
    , progress(progress)
{
}

bool Restorer::restore(const QString &backupFile, QString *setAsidePath, QString *error)
{
    this->error = error;
    master = database.fileName();
    if (master.isEmpty()) {
        storagefault::report(error, QStringLiteral("数据库未打开"));
        return false;
    }
    const QString chosen = QFileInfo(backupFile).absoluteFilePath();
    if (!QFileInfo(chosen).isFile()) {
        storagefault::report(error, QStringLiteral("找不到备份文件 %1").arg(backupFile));
        return false;
    }
    if (chosen == QFileInfo(master).absoluteFilePath()) {
        storagefault::report(error, QStringLiteral("不能用数据库文件自身恢复"));
        return false;
    }
    // The copy comes in beside the file while the file itself is kept, set aside.
    const QString shortage = diskspace::check(master, QFileInfo(chosen).size());
    if (!shortage.isEmpty()) {
        storagefault::report(error, shortage);
        return false;
    }

    // Everything committed goes into the main file, so that the file alone holds the whole database. A
    // damaged or unopenable database, the usual reason to restore, cannot be checkpointed: it is set
    // aside as it lies, its log beside it.
    const bool usable = database.isOpen() && database.unusableReason().isEmpty();
    QString driverText;
    if (usable && !database.emptyLog(&driverText)) {
        storagefault::report(error, QStringLiteral("当前数据库正被使用，无法把它完整写入文件")
                                        + (driverText.isEmpty() ? QString() : QStringLiteral(": ") + driverText));
        return false;
    }
    database.close();

    wal = master + QStringLiteral("-wal");
    shm = master + QStringLiteral("-shm");
    incoming = master + QStringLiteral(".restoring");
    // Another program that still has the file open would keep its log and write into the restored file.
    if (usable && QFileInfo(wal).size() > 0)
        return reopen(QStringLiteral("当前数据库仍被其他程序打开"));
    return setAsideCurrent() && copyIn(chosen) && dropOldLog() && takeItsPlace(setAsidePath);
}

bool Restorer::setAsideCurrent()
{
    const QString folder = backupfiles::folderBeside(master);
    QString why;
    if (!durablefile::makeFolder(folder, &why))
        return reopen(QStringLiteral("另存当前数据库失败: ") + why);
    const QString asideTarget = QDir(folder).absoluteFilePath(backupfiles::setAsideName(Clock::now()));
    const QString asidePart = asideTarget + QStringLiteral(".part");
    QFile::remove(asidePart);
    if (QFileInfo::exists(asideTarget))
        return reopen(QStringLiteral("另存当前数据库失败: %1 已存在").arg(QFileInfo(asideTarget).fileName()));
    if (!linkOrCopy(master, asidePart, QStringLiteral("正在另存当前数据库…"), progress, &why))
        return reopen(QStringLiteral("另存当前数据库失败: ") + why);
    aside = asideTarget;
    // A log that could not be checkpointed may hold the last changes: it stays with the copy set aside,
    // under the name SQLite replays when that copy is opened.
    if (QFileInfo(wal).size() > 0
        && !linkOrCopy(wal, asideTarget + QStringLiteral("-wal"), QStringLiteral("正在另存当前数据库…"), progress,
                       &why)) {
        QFile::remove(asidePart);
        return reopen(QStringLiteral("另存当前数据库的日志失败: ") + why);
    }
    // The copy set aside lasts, with its log, before anything of the database is touched: from here on a
    // power cut may leave the restored database in place, never without the data it replaced.
    if (!durablefile::commit(asidePart, asideTarget, &why)) {
        QFile::remove(asidePart);
        return reopen(QStringLiteral("另存当前数据库失败: ") + why);
    }
    return true;
}

bool Restorer::copyIn(const QString &chosen)
{
    // The copy is checked where it will be used: a backup damaged in reading or copying never gets in place.
    QString why;
    QFile::remove(incoming);
    if (!copyInPieces(chosen, incoming, QStringLiteral("正在复制备份…"), progress, &why))
        return reopen(QStringLiteral("复制备份失败: ") + why);
    // The check reads every page in one statement; the caller hears from it meanwhile, so that a window
    // stays painted and answers while gigabytes are read.
    QString check;
    const QString copy = incoming;
    const std::unique_ptr<QThread> checker(QThread::create([&check, &copy] {
        check = quickCheck(copy);
        handoff::release(&check);
    }));
    checker->start();
    do {
        if (progress)
            progress(QStringLiteral("正在检查备份…"), 0, 0);
    } while (!checker->wait(100));
    handoff::acquire(&check);
    QJsonObject counts;
    if (check != QLatin1String("ok") || !backupCounts(incoming, &counts, &why)) {
        QFile::remove(incoming);
        return reopen(QStringLiteral("所选备份已损坏或不是主库备份: ") + (check != QLatin1String("ok") ? check : why));
    }
    return true;
}

bool Restorer::dropOldLog()
{
    // A log left beside the file belongs to the database being replaced and would be replayed into the copy:
    // its removal, by this program or by SQLite on closing, lasts before the copy takes the file's name.
    for (const QString &companion : {wal, shm}) {
        if (QFileInfo::exists(companion) && !durablefile::remove(companion)) {
            QFile::remove(incoming);
            return reopen(QStringLiteral("无法删除 %1").arg(QFileInfo(companion).fileName()));
        }
    }
    QString why;
    if (!durablefile::flushFolder(QFileInfo(master).absolutePath(), &why)) {
        QFile::remove(incoming);
        return reopen(QStringLiteral("无法删除旧的日志文件: ") + why);
    }
    return true;
}

bool Restorer::takeItsPlace(QString *setAsidePath)
{
    // The folder is flushed after the rename as well: the restore is reported, and logged, once it lasts.
    QString why;
    if (!durablefile::rename(incoming, master, &why)) {
        if (QFileInfo::exists(incoming)) {
            QFile::remove(incoming);
            return reopen(QStringLiteral("替换数据库文件失败: ") + why);
        }
        return putBack(std::exchange(aside, QString()), QStringLiteral("替换数据库文件失败: ") + why);
    }
    const QString madeAside = std::exchange(aside, QString());
    if (!database.open(master, &why))
        return putBack(madeAside, QStringLiteral("打开恢复后的数据库失败: ") + why);
    if (setAsidePath)
        *setAsidePath = madeAside;
    return true;
}

// Until the swap, a failure leaves nothing behind, not even the copy set aside. A log set aside with it
// goes back beside the file it belongs to, should it have been removed there already.
bool Restorer::reopen(const QString &why)
{
    if (!aside.isEmpty()) {
        const QString asideWal = aside + QStringLiteral("-wal");
        if (QFileInfo::exists(asideWal) && !QFileInfo::exists(wal))
            QFile::rename(asideWal, wal);
        QFile::remove(asideWal);
        QFile::remove(aside);
    }
    QString reopenError;
    if (!database.open(master, &reopenError))
        storagefault::report(error, why + QStringLiteral("；重新打开当前数据库也失败了: ") + reopenError);
    else
        storagefault::report(error, why + QStringLiteral("；当前数据库未改动"));
    return false;
}

// The copy set aside is the previous database byte for byte: it goes back the same way, its log after
// it, each step lasting before the next.
bool Restorer::putBack(const QString &madeAside, const QString &failure)
{
    database.close();
    const QString dataFolder = QFileInfo(master).absolutePath();
    QString why;
    for (const QString &companion : {wal, shm})
        QFile::remove(companion);
    QFile::remove(incoming);
    const QString madeAsideWal = madeAside + QStringLiteral("-wal");
    if (!durablefile::flushFolder(dataFolder, &why)
        || !linkOrCopy(madeAside, incoming, QStringLiteral("正在放回原数据库…"), progress, &why, true)
        || !durablefile::commit(incoming, master, &why)
        || (QFileInfo::exists(madeAsideWal)
            && (!linkOrCopy(madeAsideWal, wal, QStringLiteral("正在放回原数据库…"), progress, &why, true)
                || !durablefile::flushFolder(dataFolder, &why)))) {
        QFile::remove(incoming);
        storagefault::report(
            error, failure + QStringLiteral("；放回原数据库也失败了（%1），原数据库保存在 %2").arg(why, madeAside));
        return false;
    }
    return reopen(failure);
}

bool Restorer::backupCounts(const QString &file, QJsonObject *counts, QString *error)
{
    const CopyConnection copy(file);
    if (!copy.problem.isEmpty()) {
        storagefault::report(error, QStringLiteral("无法打开: ") + copy.problem);
        return false;
    }
    QSqlQuery query(copy.database());
    for (const TableInfo &table : tables()) {
        if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE deleted = 0").arg(table.key)) || !query.next()) {
            storagefault::report(error, QStringLiteral("读不出%1: %2").arg(table.label, query.lastError().text()));
            return false;
        }
        counts->insert(table.key, query.value(0).toLongLong());
    }
    return true;
}

QString Restorer::quickCheck(const QString &file)
{
    const CopyConnection copy(file);
    if (!copy.problem.isEmpty())
        return copy.problem;
    QSqlQuery query(copy.database());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("PRAGMA quick_check")))
        return query.lastError().text();
    QStringList lines;
    while (query.next())
        lines << query.value(0).toString();
    if (query.lastError().isValid())
        lines << query.lastError().text();
    return lines.isEmpty() ? QStringLiteral("没有检查结果") : lines.join(QLatin1Char('\n'));
}
