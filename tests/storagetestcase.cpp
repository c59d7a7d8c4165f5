#include "storagetestcase.h"

#include "storage/clock.h"
#include "teststorage.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

QString StorageTestCase::freshDatabase(const QString &name)
{
    const QString path = dir.filePath(name + QStringLiteral("/data/plindor.db"));
    QString error;
    if (!db.open(path, &error))
        qFatal("open failed: %s", qPrintable(error));
    return path;
}

QString StorageTestCase::freshDatabaseForRow(const QString &prefix)
{
    return freshDatabase(prefix + QLatin1Char('-') + QString::fromUtf8(QTest::currentDataTag()).replace(' ', '-'));
}

QVariant StorageTestCase::valueFromFile(const QString &path, const QString &sql)
{
    return testutil::valueFromFile(path, sql);
}

QVariant StorageTestCase::rawValue(const QString &sql)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
    if (!query.exec(sql) || !query.next())
        return QVariant(QStringLiteral("<no row>"));
    return query.value(0);
}

QJsonObject StorageTestCase::rowOf(const QString &table, const QString &id)
{
    for (const QJsonValue &row : db.rows(table)) {
        if (row.toObject().value(QStringLiteral("id")).toString() == id)
            return row.toObject();
    }
    return {};
}

int StorageTestCase::versionCount()
{
    return rawValue(QStringLiteral("SELECT COUNT(*) FROM versions")).toInt();
}

QStringList StorageTestCase::idsOf(const QJsonArray &rows)
{
    QStringList ids;
    for (const QJsonValue &row : rows)
        ids << row.toObject().value(QStringLiteral("id")).toString();
    ids.sort();
    return ids;
}

QString StorageTestCase::backupFolder(const QString &databasePath)
{
    return QFileInfo(databasePath).absoluteDir().filePath(QStringLiteral("备份"));
}

QString StorageTestCase::todaysBackupName()
{
    return QStringLiteral("plindor-%1.db").arg(Clock::today().toString(QStringLiteral("yyyyMMdd")));
}
