#include "app/instancelock.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTemporaryFile>

InstanceLock::InstanceLock(const QString &path)
    : path(path)
    , lock(path)
{
    // Never stale by age alone: a holder on this computer is checked by its process, and one on another
    // computer sharing the folder keeps its lock however long it runs.
    lock.setStaleLockTime(0);
}

bool InstanceLock::tryLock()
{
    const QString folder = QFileInfo(path).absolutePath();
    QDir().mkpath(folder);
    if (lock.tryLock(0))
        return true;
#ifdef Q_OS_WIN
    // Windows hands process numbers out again soon (Wine gives the next program the killed one's number),
    // and Qt then takes a killed program's lock for this running one. But nobody can delete a lock file
    // that its holder keeps open there, here or over a shared folder: deleted, it was nobody's.
    if (lock.error() == QLockFile::LockFailedError && lock.removeStaleLockFile() && lock.tryLock(0))
        return true;
#endif
    // A folder that takes no lock file takes no database writes either; the database check reports that.
    if (lock.error() != QLockFile::LockFailedError)
        return true;
    // A lock left by a program that no longer runs is taken over above, unless the folder has turned
    // read-only since (a disk remounted after errors): it cannot be removed then, and nothing can be
    // written there by anyone, so the program starts as on any read-only database.
    return !holderRunning() && !takesNewFiles(folder);
}

bool InstanceLock::holderRunning() const
{
    // Qt judges the holder (this computer, this boot, a process of that name) only on its way to taking
    // the lock over, which needs a folder it may write: it is asked on a copy of the lock made elsewhere.
    QFile held(path);
    QTemporaryDir scratch;
    if (!held.open(QIODevice::ReadOnly) || !scratch.isValid())
        return true;
    const QString copy = scratch.filePath(QFileInfo(path).fileName());
    QFile copied(copy);
    if (!copied.open(QIODevice::WriteOnly) || copied.write(held.readAll()) < 0 || !copied.flush())
        return true;
    copied.close();
    QLockFile judge(copy);
    judge.setStaleLockTime(0);
    return !judge.tryLock(0);
}

bool InstanceLock::takesNewFiles(const QString &folder)
{
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral("plindor-XXXXXX.probe")));
    return probe.open();
}

QString InstanceLock::holderText()
{
    qint64 pid = 0;
    QString host;
    QString application;
    lock.getLockInfo(&pid, &host, &application);
    return QStringLiteral("电脑主库已经从这个文件夹启动（进程号 %1），正在使用 %2 里的数据库。\n"
                          "同一个文件夹同时只能运行一个电脑主库，请切换到已经打开的窗口。")
        .arg(pid)
        .arg(QDir::toNativeSeparators(QFileInfo(path).absolutePath()));
}

bool InstanceLock::claim()
{
    if (tryLock())
        return true;
    QMessageBox::critical(nullptr, QStringLiteral("程序已在运行"), holderText());
    return false;
}
