#include "teststorage.h"

#include "storage/clock.h"
#include "storage/database.h"
#include "storage/diskspace.h"
#include "storage/durablefile.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QtDebug>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace testutil {

namespace {

int nextSideConnection()
{
    static int n = 0;
    return ++n;
}

} // namespace

SideConnection::SideConnection(const QString &path, const QString &options)
    : name(QStringLiteral("side-%1").arg(nextSideConnection()))
{
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    db.setConnectOptions(options);
    db.open();
}

SideConnection::~SideConnection()
{
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

bool SideConnection::exec(const QString &sql)
{
    QSqlQuery query(db);
    if (query.exec(sql))
        return true;
    qWarning() << sql << query.lastError().text();
    return false;
}

QVariant SideConnection::value(const QString &sql)
{
    if (!db.isOpen())
        return QVariant(QStringLiteral("<no row>"));
    QSqlQuery query(db);
    if (query.exec(sql) && query.next())
        return query.value(0);
    return QVariant(QStringLiteral("<failed: %1>").arg(query.lastError().text()));
}

bool execOnFile(const QString &path, const QString &sql)
{
    SideConnection side(path);
    return side.exec(sql);
}

QVariant valueFromFile(const QString &path, const QString &sql)
{
    SideConnection side(path, QStringLiteral("QSQLITE_OPEN_READONLY"));
    return side.value(sql);
}

StorageFault::StorageFault(const QString &kind, const QString &path)
    : kind(kind)
{
    Database::instance().onConnectionThread([&] { make(path); });
}

void StorageFault::make(const QString &path)
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

void StorageFault::lift()
{
    if (lifted)
        return;
    lifted = true;
    Database::instance().onConnectionThread([this] { undo(); });
}

void StorageFault::undo()
{
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

void addStorageFaultRows()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("full") << "full" << QStringLiteral("磁盘空间已满");
    QTest::newRow("read-only") << "read-only" << QStringLiteral("只读");
    QTest::newRow("locked") << "locked" << QStringLiteral("占用");
}

void putRow(const QString &table, QJsonObject record, const QString &stamp)
{
    if (!record.contains(QStringLiteral("createdAt")))
        record.insert(QStringLiteral("createdAt"), stamp);
    if (table == QLatin1String("items") && !record.contains(QStringLiteral("updatedAt")))
        record.insert(QStringLiteral("updatedAt"), stamp);
    QString error;
    QVERIFY2(!Database::instance().upsert(table, record, &error).isEmpty(), qPrintable(error));
}

void leaveNoRoom(const QString &path)
{
    diskspace::setMargin(diskspace::of(path).available + (qint64(1) << 30));
}

bool damageCopy(const QString &from, const QString &to)
{
    QFile::remove(to);
    QFile file(to);
    if (!QFile::copy(from, to) || !file.open(QIODevice::ReadWrite) || file.size() < 3 * 4096)
        return false;
    file.seek(4096);
    return file.write(QByteArray(int(file.size() - 4096), 'Z')) == file.size() - 4096;
}

ReadOnlyData::ReadOnlyData(const QString &path)
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

bool ReadOnlyData::holds() const
{
    for (const QString &name : files) {
        QFile file(name);
        if (file.open(QIODevice::ReadWrite))
            return false;
    }
    return true;
}

ReadOnlyData::~ReadOnlyData()
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

OpenFolder::OpenFolder()
{
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

QString OpenFolder::closedOnTheWay() const
{
    if (!dir.isValid())
        return dir.errorString();
    for (QFileInfo step(dir.path()); !step.isRoot(); step.setFile(step.absolutePath())) {
        if (!step.permission(QFile::ExeOther))
            return QStringLiteral("%1 cannot be entered by other users (TMPDIR?)").arg(step.absoluteFilePath());
    }
    return QString();
}

FileSteps::FileSteps(const QString &base)
    : base(base)
{
    durablefile::setRecorder([this](const QString &step, const QString &path) {
        seen << step + QLatin1Char(' ') + this->base.relativeFilePath(path);
    });
}

FileSteps::~FileSteps()
{
    durablefile::setRecorder({});
}

StoppedClock::StoppedClock(const QDateTime &moment)
{
    Clock::stopAt(moment);
}

StoppedClock::~StoppedClock()
{
    Clock::stopAt(QDateTime());
}

void StoppedClock::set(const QDateTime &moment)
{
    Clock::stopAt(moment);
}

} // namespace testutil
