#include "storage/versionhistory.h"

#include "catalogue/catalogue.h"
#include "storage/recordsource.h"
#include "storage/recordwriter.h"
#include "storage/storagefault.h"
#include "storage/tablereader.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>

#ifdef TOVANIK_HAVE_SQLITE3
#include <sqlite3.h>
#endif

namespace {

QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Reads the snapshot's bytes straight into one buffer of their size. Through a query, SQLite first gathers
// them into a buffer of its own and the driver copies that: two comparisons reading side by side held four
// snapshots' worth at their peak. False leaves the reading, and the naming of any fault, to the query.
bool readDirect(const QSqlDatabase &connection, int versionId, QByteArray *text)
{
#ifdef TOVANIK_HAVE_SQLITE3
    sqlite3 *handle = TableReader::sharedHandle(connection);
    sqlite3_blob *blob = nullptr;
    if (!handle || sqlite3_blob_open(handle, "main", "versions", "snapshot", versionId, 0, &blob) != SQLITE_OK) {
        sqlite3_blob_close(blob);
        return false;
    }
    QByteArray bytes(sqlite3_blob_bytes(blob), Qt::Uninitialized);
    const bool read = sqlite3_blob_read(blob, bytes.data(), int(bytes.size()), 0) == SQLITE_OK;
    sqlite3_blob_close(blob);
    if (read)
        *text = std::move(bytes);
    return read;
#else
    Q_UNUSED(connection)
    Q_UNUSED(versionId)
    Q_UNUSED(text)
    return false;
#endif
}

} // namespace

bool VersionHistory::add(const QString &createdAt, const QString &reason, const QString &source,
                         const QJsonObject &counts, const QByteArray &snapshot, int kept, QString *error)
{
    // The version and its size go in together, inside a transaction the caller holds or on their own.
    QSqlQuery query(connection);
    if (!query.exec(QStringLiteral("SAVEPOINT version_add"))) {
        storagefault::report(error, storagefault::describe(query.lastError()));
        return false;
    }
    auto fail = [&query, error](const QSqlError &fault) {
        storagefault::report(error, storagefault::describe(fault));
        query.exec(QStringLiteral("ROLLBACK TO version_add"));
        query.exec(QStringLiteral("RELEASE version_add"));
        return false;
    };
    // The snapshot goes in as its UTF-8 bytes, cast to text inside SQLite: bound as a QString it would be
    // widened to UTF-16 and converted back, two more copies of the whole database.
    query.prepare(QStringLiteral(
        "INSERT INTO versions (createdAt, reason, source, counts, snapshot) VALUES (?,?,?,?,CAST(? AS TEXT))"));
    query.addBindValue(createdAt);
    query.addBindValue(storableText(reason));
    query.addBindValue(storableText(source));
    query.addBindValue(compactJson(counts));
    query.addBindValue(snapshot);
    if (!query.exec())
        return fail(query.lastError());
    const QVariant versionId = query.lastInsertId();
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO version_sizes (versionId, bytes) VALUES (?,?)"));
    query.addBindValue(versionId);
    query.addBindValue(qint64(snapshot.size()));
    if (!query.exec())
        return fail(query.lastError());
    if (!query.exec(QStringLiteral("RELEASE version_add")))
        return fail(query.lastError());

    return prune(kept, error) >= 0;
}

int VersionHistory::prune(int kept, QString *error)
{
    QSqlQuery prune(connection);
    prune.prepare(
        QStringLiteral("DELETE FROM versions WHERE id NOT IN (SELECT id FROM versions ORDER BY id DESC LIMIT ?)"));
    prune.addBindValue(kept);
    if (!prune.exec()) {
        if (!storagefault::isEnvironment(prune.lastError()))
            return 0;
        storagefault::report(error, storagefault::describe(prune.lastError()));
        return -1;
    }
    const int removed = prune.numRowsAffected();
    QSqlQuery sizes(connection);
    if (!sizes.exec(QStringLiteral("DELETE FROM version_sizes WHERE versionId NOT IN (SELECT id FROM versions)"))
        && storagefault::isEnvironment(sizes.lastError())) {
        storagefault::report(error, storagefault::describe(sizes.lastError()));
        return -1;
    }
    return removed;
}

int VersionHistory::count()
{
    QSqlQuery query(connection);
    return query.exec(QStringLiteral("SELECT COUNT(*) FROM versions")) && query.next() ? query.value(0).toInt() : 0;
}

VersionSizes VersionHistory::sizes(int oldest)
{
    VersionSizes result;
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("SELECT COUNT(*), COUNT(s.bytes), TOTAL(s.bytes) "
                                 "FROM (SELECT id FROM versions ORDER BY id LIMIT ?) v "
                                 "LEFT JOIN version_sizes s ON s.versionId = v.id"));
    query.addBindValue(oldest);
    if (query.exec() && query.next()) {
        result.versions = query.value(0).toInt();
        result.noted = query.value(1).toInt();
        result.notedBytes = query.value(2).toLongLong();
    }
    return result;
}

int VersionHistory::noteMissingSizes(int batch)
{
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("INSERT INTO version_sizes (versionId, bytes) "
                                 "SELECT id, length(CAST(snapshot AS BLOB)) FROM versions "
                                 "WHERE id NOT IN (SELECT versionId FROM version_sizes) ORDER BY id LIMIT ?"));
    query.addBindValue(batch);
    return query.exec() ? query.numRowsAffected() : -1;
}

QList<VersionInfo> VersionHistory::list(int limit)
{
    QList<VersionInfo> result;
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT id, createdAt, reason, source, counts FROM versions ORDER BY id DESC LIMIT ?"));
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

int VersionHistory::nextAfter(int versionId)
{
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("SELECT MIN(id) FROM versions WHERE id > ?"));
    query.addBindValue(versionId);
    return query.exec() && query.next() ? query.value(0).toInt() : 0;
}

QString VersionHistory::reasonBefore(const QString &peer, const QString &direction)
{
    if (direction == QStringLiteral("推送") || direction == QLatin1String("import"))
        return QStringLiteral("收到 %1 推送前").arg(peer);
    if (direction == QStringLiteral("回滚") || direction == QLatin1String("rollback"))
        return QStringLiteral("回滚前自动存档");
    if (direction == QStringLiteral("导入"))
        return QStringLiteral("导入 CSV 前");
    if (direction == QStringLiteral("恢复"))
        return QStringLiteral("恢复部分行前");
    return {};
}

int VersionHistory::newestBefore(const QString &reason, const QString &at)
{
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("SELECT MAX(id) FROM versions WHERE reason = ? AND createdAt <= ?"));
    query.addBindValue(reason);
    query.addBindValue(at);
    return query.exec() && query.next() ? query.value(0).toInt() : 0;
}

bool VersionHistory::snapshot(int versionId, QByteArray *text, QString *error)
{
    if (readDirect(connection, versionId, text))
        return true;
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
    *text = query.value(0).toByteArray();
    return true;
}

bool VersionHistory::writeBack(const RecordSource &document, QString *fault)
{
    for (const TableInfo &table : tables()) {
        const qsizetype count = document.size(table.key);
        if (count == 0)
            continue;
        RecordWriter writer(connection, table);
        for (qsizetype i = 0; i < count; ++i) {
            const QJsonObject record = document.record(table.key, i);
            if (recordId(record).isEmpty() || writer.write(record))
                continue;
            if (writer.failedOnEnvironment()) {
                *fault = writer.errorText();
                return false;
            }
        }
    }
    return true;
}
