#pragma once

#include "storage/database.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

// What the storage tests share: the program's Database on fresh files in a temporary folder, and
// readings that show what is really in them.
class StorageTestCase : public QObject
{
    Q_OBJECT

protected:
    QTemporaryDir dir;
    Database &db = Database::instance();

    // Opens a new database file in a folder of its own under dir; the test stops when it cannot.
    QString freshDatabase(const QString &name);
    // A database of its own for the running data row, so that every row runs alone as well.
    QString freshDatabaseForRow(const QString &prefix);

    static QVariant valueFromFile(const QString &path, const QString &sql);
    // Reads through the program's connection, so that the test sees what that connection sees.
    QVariant rawValue(const QString &sql);
    QJsonObject rowOf(const QString &table, const QString &id);
    int versionCount();
    static QStringList idsOf(const QJsonArray &rows);

    // The backup folder beside a database file.
    static QString backupFolder(const QString &databasePath);
    // The name of the daily copy of storage's today.
    static QString todaysBackupName();
};
