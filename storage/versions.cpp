#include "storage/database.h"

#include "catalogue/catalogue.h"
#include "storage/recordwriter.h"

#include <QJsonDocument>
#include <QSqlQuery>

namespace {

const int versionsKept = 200;

QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

QJsonObject Database::snapshotDocument()
{
    QJsonObject document{
        {QStringLiteral("app"), QStringLiteral("plindor")},
        {QStringLiteral("protocol"), 1},
        {QStringLiteral("exportedAt"), nowText()},
        {QStringLiteral("deviceName"), QStringLiteral("电脑主库")},
        {QStringLiteral("platform"), QStringLiteral("qt")},
    };
    for (const TableInfo &table : tables())
        document.insert(table.key, rows(table.key));
    return document;
}

bool Database::saveVersion(const QString &reason, const QString &source)
{
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("INSERT INTO versions (createdAt, reason, source, counts, snapshot) VALUES (?,?,?,?,?)"));
    query.addBindValue(nowText());
    query.addBindValue(reason);
    query.addBindValue(source);
    query.addBindValue(compactJson(counts()));
    query.addBindValue(compactJson(snapshotDocument()));
    if (!query.exec())
        return false;

    QSqlQuery prune(connection);
    prune.prepare(QStringLiteral("DELETE FROM versions WHERE id NOT IN (SELECT id FROM versions ORDER BY id DESC LIMIT ?)"));
    prune.addBindValue(versionsKept);
    prune.exec();
    return true;
}

QList<VersionInfo> Database::listVersions(int limit)
{
    QList<VersionInfo> result;
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT id, createdAt, reason, source, counts FROM versions ORDER BY id DESC LIMIT ?"));
    query.addBindValue(limit);
    if (!query.exec())
        return result;
    while (query.next()) {
        VersionInfo info;
        info.id = query.value(0).toInt();
        info.createdAt = query.value(1).toString();
        info.reason = query.value(2).toString();
        info.source = query.value(3).toString();
        info.counts = QJsonDocument::fromJson(query.value(4).toString().toUtf8()).object();
        result << info;
    }
    return result;
}

bool Database::rollbackTo(int versionId, const QString &source)
{
    QJsonObject document;
    {
        QSqlQuery query(connection);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT snapshot FROM versions WHERE id = ?"));
        query.addBindValue(versionId);
        if (!query.exec() || !query.next())
            return false;
        document = QJsonDocument::fromJson(query.value(0).toString().toUtf8()).object();
    }
    if (document.isEmpty())
        return false;

    saveVersion(QStringLiteral("回滚前自动存档"), source);

    // One transaction for all rows: a crash half-way leaves the data as it was, not half rolled back.
    // A row that fails is skipped; the rows written around it still commit.
    const bool inTransaction = connection.transaction();
    for (const TableInfo &table : tables()) {
        const QJsonArray elements = document.value(table.key).toArray();
        if (elements.isEmpty())
            continue;
        RecordWriter writer(connection, table);
        for (const QJsonValue &element : elements) {
            const QJsonObject record = element.toObject();
            if (!recordText(record, QStringLiteral("id")).isEmpty())
                writer.write(record);
        }
    }
    if (inTransaction && !connection.commit())
        connection.rollback();

    saveVersion(QStringLiteral("回滚到版本 #%1").arg(versionId), source);
    return true;
}
