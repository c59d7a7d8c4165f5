#include "storage/database.h"

#include "catalogue/catalogue.h"
#include "storage/recordwriter.h"
#include "storage/snapshotreader.h"
#include "storage/snapshottext.h"
#include "storage/storagefault.h"
#include "storage/tablereader.h"

#include <QDebug>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>

namespace {

const int versionsKept = 200;

QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// The live rows of a table as the elements of a JSON array, by the same rules as Database::rows.
// False, with the reason, when the table could not be read whole.
bool appendRows(QByteArray &out, const QSqlDatabase &connection, const QString &table, QString *error)
{
    TableReader reader(connection, table, true);
    QList<QByteArray> keys;
    for (int i = 0; i < reader.columns().size(); ++i) {
        QByteArray key(i == 0 ? "{" : ",");
        snapshottext::appendString(key, reader.columns().at(i));
        keys << key + ':';
    }

    bool first = true;
    while (reader.next()) {
        if (!first)
            out.append(',');
        first = false;
        for (int i = 0; i < keys.size(); ++i) {
            out.append(keys.at(i));
            reader.appendJson(out, i);
        }
        out.append(keys.isEmpty() ? "{}" : "}");
    }
    if (reader.failed()) {
        qWarning() << "query failed:" << reader.errorText();
        *error = reader.errorText();
        return false;
    }
    return true;
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

QByteArray Database::snapshotText(QString *error)
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
        QString failure;
        if (!appendRows(out, connection, table.key, &failure)) {
            storagefault::report(error, failure);
            return QByteArray();
        }
        out.append(']');
    }
    out.append('}');
    lastSize = out.size();
    return out;
}

bool Database::saveVersion(const QString &reason, const QString &source, QString *error)
{
    // A version is a whole document or none: a reading cut short would be taken for the data as it was.
    QString failure;
    const QJsonObject tableCounts = counts(&failure);
    const QByteArray snapshot = failure.isEmpty() ? snapshotText(&failure) : QByteArray();
    if (!failure.isEmpty()) {
        storagefault::report(error, failure);
        return false;
    }

    QSqlQuery query(connection);
    // The snapshot goes in as its UTF-8 bytes, cast to text inside SQLite: bound as a QString it would be
    // widened to UTF-16 and converted back, two more copies of the whole database.
    query.prepare(QStringLiteral(
        "INSERT INTO versions (createdAt, reason, source, counts, snapshot) VALUES (?,?,?,?,CAST(? AS TEXT))"));
    query.addBindValue(nowText());
    query.addBindValue(storableText(reason));
    query.addBindValue(storableText(source));
    query.addBindValue(compactJson(tableCounts));
    query.addBindValue(snapshot);
    if (!query.exec()) {
        storagefault::report(error, storagefault::describe(query.lastError()));
        return false;
    }

    QSqlQuery prune(connection);
    prune.prepare(QStringLiteral("DELETE FROM versions WHERE id NOT IN (SELECT id FROM versions ORDER BY id DESC LIMIT ?)"));
    prune.addBindValue(versionsKept);
    if (!prune.exec() && storagefault::isEnvironment(prune.lastError())) {
        storagefault::report(error, storagefault::describe(prune.lastError()));
        return false;
    }
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

bool Database::rollbackTo(int versionId, const QString &source, QString *error)
{
    QByteArray text;
    {
        QSqlQuery query(connection);
        query.setForwardOnly(true);
        // Read as bytes: no UTF-16 copy, and rows stored as blobs read the same.
        query.prepare(QStringLiteral("SELECT CAST(snapshot AS BLOB) FROM versions WHERE id = ?"));
        query.addBindValue(versionId);
        if (!query.exec() || !query.next()) {
            if (query.lastError().isValid() || !query.isActive())
                storagefault::report(error, storagefault::describe(query.lastError()));
            return false;
        }
        text = query.value(0).toByteArray();
    }
    const SnapshotReader document(text);
    text.clear();
    if (!document.isObject() || document.isEmptyObject())
        return false;

    // One transaction for both versions and all rows: a fault or a crash half-way leaves the data as it
    // was, not half rolled back. A row that a constraint refuses is skipped; the rows around it commit.
    QString fault;
    if (!beginWrite(&fault)) {
        storagefault::report(error, fault);
        return false;
    }
    bool whole = saveVersion(QStringLiteral("回滚前自动存档"), source, &fault);
    for (const TableInfo &table : tables()) {
        const qsizetype count = whole ? document.size(table.key) : 0;
        if (count == 0)
            continue;
        RecordWriter writer(connection, table);
        for (qsizetype i = 0; i < count && whole; ++i) {
            const QJsonObject record = document.record(table.key, i);
            if (recordId(record).isEmpty() || writer.write(record))
                continue;
            if (writer.failedOnEnvironment()) {
                fault = writer.errorText();
                whole = false;
            }
        }
    }
    whole = whole && saveVersion(QStringLiteral("回滚到版本 #%1").arg(versionId), source, &fault)
            && commitWrite(&fault);
    if (!whole) {
        rollbackWrite();
        storagefault::report(error, fault);
        return false;
    }
    return true;
}
