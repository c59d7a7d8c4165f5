#include "storage/database.h"

#include "catalogue/catalogue.h"
#include "storage/recordwriter.h"
#include "storage/snapshotreader.h"
#include "storage/snapshottext.h"

#include <QDebug>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace {

const int versionsKept = 200;

QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// The live rows of a table as the elements of a JSON array, by the same rules as Database::rows.
void appendRows(QByteArray &out, const QSqlDatabase &connection, const QString &table)
{
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM %1 WHERE deleted = 0").arg(table))) {
        qWarning() << "query failed:" << query.lastError().text();
        return;
    }
    const QSqlRecord shape = query.record();
    QList<QByteArray> keys;
    for (int i = 0; i < shape.count(); ++i) {
        QByteArray key(i == 0 ? "{" : ",");
        snapshottext::appendString(key, shape.fieldName(i));
        keys << key + ':';
    }

    bool first = true;
    while (query.next()) {
        if (!first)
            out.append(',');
        first = false;
        for (int i = 0; i < keys.size(); ++i) {
            out.append(keys.at(i));
            const QVariant value = query.value(i);
            if (value.isNull()) {
                out.append("\"\"", 2);
                continue;
            }
            switch (value.typeId()) {
            case QMetaType::Double:
                snapshottext::appendNumber(out, value.toDouble());
                break;
            case QMetaType::Int:
            case QMetaType::LongLong:
                snapshottext::appendInteger(out, value.toLongLong());
                break;
            default:
                snapshottext::appendString(out, value.toString());
                break;
            }
        }
        out.append(keys.isEmpty() ? "{}" : "}");
    }
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

QByteArray Database::snapshotText()
{
    // Room for the last snapshot and some growth, taken at once: growing a buffer of tens of MB step by
    // step copies it, and for a moment holds it twice. Pages that are never written cost no memory.
    static qsizetype lastSize = 0;
    QByteArray out;
    out.reserve(lastSize + lastSize / 4 + 4096);
    out.append("{\"app\":\"plindor\",\"protocol\":1,\"exportedAt\":");
    snapshottext::appendString(out, nowText());
    out.append(",\"deviceName\":");
    snapshottext::appendString(out, QStringLiteral("电脑主库"));
    out.append(",\"platform\":\"qt\"");
    for (const TableInfo &table : tables()) {
        out.append(',');
        snapshottext::appendString(out, table.key);
        out.append(":[");
        appendRows(out, connection, table.key);
        out.append(']');
    }
    out.append('}');
    lastSize = out.size();
    return out;
}

bool Database::saveVersion(const QString &reason, const QString &source)
{
    QSqlQuery query(connection);
    // The snapshot goes in as its UTF-8 bytes, cast to text inside SQLite: bound as a QString it would be
    // widened to UTF-16 and converted back, two more copies of the whole database.
    query.prepare(QStringLiteral(
        "INSERT INTO versions (createdAt, reason, source, counts, snapshot) VALUES (?,?,?,?,CAST(? AS TEXT))"));
    query.addBindValue(nowText());
    query.addBindValue(reason);
    query.addBindValue(source);
    query.addBindValue(compactJson(counts()));
    query.addBindValue(snapshotText());
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
    QByteArray text;
    {
        QSqlQuery query(connection);
        query.setForwardOnly(true);
        // Read as bytes: no UTF-16 copy, and rows stored as blobs read the same.
        query.prepare(QStringLiteral("SELECT CAST(snapshot AS BLOB) FROM versions WHERE id = ?"));
        query.addBindValue(versionId);
        if (!query.exec() || !query.next())
            return false;
        text = query.value(0).toByteArray();
    }
    const SnapshotReader document(text);
    text.clear();
    if (!document.isObject() || document.isEmptyObject())
        return false;

    saveVersion(QStringLiteral("回滚前自动存档"), source);

    // One transaction for all rows: a crash half-way leaves the data as it was, not half rolled back.
    // A row that fails is skipped; the rows written around it still commit.
    const bool inTransaction = connection.transaction();
    for (const TableInfo &table : tables()) {
        const qsizetype count = document.size(table.key);
        if (count == 0)
            continue;
        RecordWriter writer(connection, table);
        for (qsizetype i = 0; i < count; ++i) {
            const QJsonObject record = document.record(table.key, i);
            if (!recordText(record, QStringLiteral("id")).isEmpty())
                writer.write(record);
        }
    }
    if (inTransaction && !connection.commit())
        connection.rollback();

    saveVersion(QStringLiteral("回滚到版本 #%1").arg(versionId), source);
    return true;
}
