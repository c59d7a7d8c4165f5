#pragma once

#include "storage/durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>
#include <QtTest>
#include <QtDebug>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// Real SQLite files and real faults on them, for the storage tests and everything above.
namespace testutil {

// A connection of its own on a database file, as another program would hold it: it sees only what has
// been committed, and its writes come from outside the program.
class SideConnection
{
public:
    explicit SideConnection(const QString &path, const QString &options = QString())
        : name(QStringLiteral("side-%1").arg(++count()))
    {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(options);
        db.open();
    }

    ~SideConnection()
    {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }

    SideConnection(const SideConnection &) = delete;
    SideConnection &operator=(const SideConnection &) = delete;

    QSqlDatabase &database() { return db; }

    bool exec(const QString &sql)
    {
        QSqlQuery query(db);
        if (query.exec(sql))
            return true;
        qWarning() << sql << query.lastError().text();
        return false;
    }

    // The first column of the first row, or a text that says why there is none.
    QVariant value(const QString &sql)
    {
        if (!db.isOpen())
            return QVariant(QStringLiteral("<no row>"));
        QSqlQuery query(db);
        if (query.exec(sql) && query.next())
            return query.value(0);
        return QVariant(QStringLiteral("<failed: %1>").arg(query.lastError().text()));
    }

private:
    static int &count()
    {
        static int n = 0;
        return n;
    }

    QString name;
    QSqlDatabase db;
};

inline bool execOnFile(const QString &path, const QString &sql)
{
    SideConnection side(path);
    return side.exec(sql);
}

inline QVariant valueFromFile(const QString &path, const QString &sql)
{
    SideConnection side(path, QStringLiteral("QSQLITE_OPEN_READONLY"));
    return side.value(sql);
}

// A real storage fault on the program's connection to the database file at path, until lift():
// "full" caps the file at the pages it has, "read-only" reopens it read-only, and "locked" has a second
// connection hold the write lock (the program waits only 50 ms for it instead of seconds).
class StorageFault
{
public:
    StorageFault(const QString &kind, const QString &path)
        : kind(kind)
    {
        QSqlDatabase program = QSqlDatabase::database(QStringLiteral("plindor"), false);
        if (kind == QLatin1String("full")) {
            QSqlQuery query(program);
            if (query.exec(QStringLiteral("PRAGMA page_count")) && query.next())
                query.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(query.value(0).toLongLong()));
        } else if (kind == QLatin1String("read-only")) {
            program.close();
            program.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            program.open();
        } else if (kind == QLatin1String("locked")) {
            QSqlQuery(program).exec(QStringLiteral("PRAGMA busy_timeout = 50"));
            QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
            holder.setDatabaseName(path);
            holder.open();
            QSqlQuery(holder).exec(QStringLiteral("BEGIN IMMEDIATE"));
        }
    }

    ~StorageFault() { lift(); }

    void lift()
    {
        if (lifted)
            return;
        lifted = true;
        QSqlDatabase program = QSqlDatabase::database(QStringLiteral("plindor"), false);
        if (kind == QLatin1String("full")) {
            QSqlQuery(program).exec(QStringLiteral("PRAGMA max_page_count = 2147483646"));
        } else if (kind == QLatin1String("read-only")) {
            program.close();
            program.setConnectOptions(QString());
            program.open();
        } else if (kind == QLatin1String("locked")) {
            QSqlDatabase::database(QStringLiteral("holder"), false).close();
            QSqlDatabase::removeDatabase(QStringLiteral("holder"));
        }
    }

private:
    QString kind;
    bool lifted = false;
};

// The faults above as data rows: "fault", and "reason", a word of what the operator or phone is told.
inline void addStorageFaultRows()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("full") << "full" << QStringLiteral("磁盘空间已满");
    QTest::newRow("read-only") << "read-only" << QStringLiteral("只读");
    QTest::newRow("locked") << "locked" << QStringLiteral("占用");
}

// A copy of a database file whose first page, the schema, is intact and whose other pages are overwritten.
inline bool damageCopy(const QString &from, const QString &to)
{
    QFile::remove(to);
    QFile file(to);
    if (!QFile::copy(from, to) || !file.open(QIODevice::ReadWrite) || file.size() < 3 * 4096)
        return false;
    file.seek(4096);
    return file.write(QByteArray(int(file.size() - 4096), 'Z')) == file.size() - 4096;
}

// Takes write access to a database file, the log files beside it and their folder away for as long as
// it lives. Root passes any file permission, so a test run as root also takes another identity meanwhile.
class ReadOnlyData
{
public:
    explicit ReadOnlyData(const QString &path)
        : folder(QFileInfo(path).absolutePath())
    {
        for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
            if (QFile::exists(path + suffix))
                files << path + suffix;
        }
        for (const QString &file : std::as_const(files))
            QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                                          | QFile::ReadOther | QFile::ExeOther);
#ifdef Q_OS_UNIX
        if (geteuid() == 0)
            asNobody = seteuid(65534) == 0;
#endif
    }

    ~ReadOnlyData()
    {
#ifdef Q_OS_UNIX
        if (asNobody && seteuid(0) != 0)
            qFatal("cannot return to root");
#endif
        const auto readWrite = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        QFile::setPermissions(folder, readWrite | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
        for (const QString &file : std::as_const(files))
            QFile::setPermissions(file, readWrite);
    }

private:
    QString folder;
    QStringList files;
    bool asNobody = false;
};

// A temporary folder that every user may enter and read: a program folder there can be reached by the
// identity ReadOnlyData takes, wherever the checkout lies (under /root, or in a folder made by mktemp -d
// that only its owner can enter).
class OpenFolder
{
public:
    OpenFolder()
    {
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                              | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    }

    // Empty when every user can reach the folder, else the folder on the way that stops them.
    QString closedOnTheWay() const
    {
        if (!dir.isValid())
            return dir.errorString();
        for (QFileInfo step(dir.path()); !step.isRoot(); step.setFile(step.absolutePath())) {
            if (!step.permission(QFile::ExeOther))
                return QStringLiteral("%1 cannot be entered by other users (TMPDIR?)").arg(step.absoluteFilePath());
        }
        return QString();
    }

    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
};

// The steps taken to replace files durably while it lives, each as "step path" with the path relative
// to base: the order in which a power cut could find them.
class FileSteps
{
public:
    explicit FileSteps(const QString &base)
        : base(base)
    {
        durablefile::setRecorder(
            [this](const QString &step, const QString &path) { seen << step + QLatin1Char(' ') + this->base.relativeFilePath(path); });
    }

    ~FileSteps() { durablefile::setRecorder({}); }

    FileSteps(const FileSteps &) = delete;
    FileSteps &operator=(const FileSteps &) = delete;

    QStringList seen;

private:
    QDir base;
};

} // namespace testutil
