#pragma once

#include "storage/durablefile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>
#include <QtDebug>
#include <QtTest>

// Real SQLite files and real faults on them, for the storage tests and everything above.
namespace testutil {

// A connection of its own on a database file, as another program would hold it: it sees only what has
// been committed, and its writes come from outside the program.
class SideConnection
{
public:
    explicit SideConnection(const QString &path, const QString &options = QString());
    ~SideConnection();

    SideConnection(const SideConnection &) = delete;
    SideConnection &operator=(const SideConnection &) = delete;

    QSqlDatabase &database() { return db; }

    bool exec(const QString &sql);
    // The first column of the first row, or a text that says why there is none.
    QVariant value(const QString &sql);

private:
    QString name;
    QSqlDatabase db;
};

bool execOnFile(const QString &path, const QString &sql);
QVariant valueFromFile(const QString &path, const QString &sql);

// A real storage fault on the program's connection to the database file at path, until lift():
// "full" caps the file at the pages it has, "read-only" reopens it read-only, and "locked" has a second
// connection hold the write lock (the program waits only 50 ms for it instead of seconds).
class StorageFault
{
public:
    StorageFault(const QString &kind, const QString &path);
    ~StorageFault() { lift(); }

    StorageFault(const StorageFault &) = delete;
    StorageFault &operator=(const StorageFault &) = delete;

    void lift();

private:
    // On the thread of the program's connection.
    void make(const QString &path);
    void undo();

    QString kind;
    bool lifted = false;
};

// The faults above as data rows: "fault", and "reason", a word of what the operator or phone is told.
void addStorageFaultRows();

// Stores a row through the program's upsert, its missing createdAt (and an item's updatedAt) set to
// stamp, so that a test can tell the rows it did not change; the test stops when it is refused.
void putRow(const QString &table, QJsonObject record, const QString &stamp = QStringLiteral("2024-01-01 00:00:00"));

// Sets the program's disk margin above the free space at path, with room to spare, so that every write
// that needs room is refused even while other tests beside this one free space on the same disk.
void leaveNoRoom(const QString &path);

// A copy of a database file whose first page, the schema, is intact and whose other pages are overwritten.
bool damageCopy(const QString &from, const QString &to);

// Takes write access to a database file, the log files beside it and their folder away for as long as
// it lives. Root passes any file permission, so a test run as root also takes another identity meanwhile.
class ReadOnlyData
{
public:
    explicit ReadOnlyData(const QString &path);
    ~ReadOnlyData();

    ReadOnlyData(const ReadOnlyData &) = delete;
    ReadOnlyData &operator=(const ReadOnlyData &) = delete;

    // Whether the files are really read-only to this process: Wine run as root, for one, writes anyway.
    bool holds() const;

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
    OpenFolder();

    // Empty when every user can reach the folder, else the folder on the way that stops them.
    QString closedOnTheWay() const;

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
    explicit FileSteps(const QString &base);
    ~FileSteps();

    FileSteps(const FileSteps &) = delete;
    FileSteps &operator=(const FileSteps &) = delete;

    QStringList seen;

private:
    QDir base;
};

// Storage's clock stands at the moment for as long as this lives, then follows the system clock again.
class StoppedClock
{
public:
    explicit StoppedClock(const QDateTime &moment);
    ~StoppedClock();

    StoppedClock(const StoppedClock &) = delete;
    StoppedClock &operator=(const StoppedClock &) = delete;

    // Moves the stopped clock to another moment.
    void set(const QDateTime &moment);
};

} // namespace testutil
