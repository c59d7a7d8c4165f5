#include "storage/merger.h"

#include "catalogue/catalogue.h"
#include "storage/recordsource.h"
#include "storage/recordwriter.h"
#include "storage/storagefault.h"

#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

bool Merger::mergeTables(const RecordSource &document, MergeResult *result, QString *fault)
{
    const int items = mergeNewer(document, QStringLiteral("items"), QStringLiteral("updatedAt"), fault);
    const int categories = mergeNewer(document, QStringLiteral("categories"), QStringLiteral("createdAt"), fault);
    const int locations = mergeNewer(document, QStringLiteral("locations"), QStringLiteral("createdAt"), fault);
    const int customers = mergeNewer(document, QStringLiteral("customers"), QStringLiteral("createdAt"), fault);
    const int transactions = mergeMissing(document, QStringLiteral("transactions"), fault);
    const int relations = mergeMissing(document, QStringLiteral("relations"), fault);
    if (!fault->isEmpty())
        return false;

    result->perTable = QJsonObject{
        {QStringLiteral("items"), items},           {QStringLiteral("transactions"), transactions},
        {QStringLiteral("categories"), categories}, {QStringLiteral("locations"), locations},
        {QStringLiteral("customers"), customers},   {QStringLiteral("relations"), relations},
    };
    if (items)
        result->details << QStringLiteral("物品 %1 新增/更新").arg(items);
    if (transactions)
        result->details << QStringLiteral("流水 %1 新增").arg(transactions);
    if (categories || locations || customers)
        result->details << QStringLiteral("分类 %1、存放处 %2、客户 %3").arg(categories).arg(locations).arg(customers);
    if (relations)
        result->details << QStringLiteral("关联 %1 新增").arg(relations);
    if (result->details.isEmpty())
        result->details << QStringLiteral("没有新数据");
    return true;
}

namespace {

// Reads the first column of each row of a statement, the second as well when asked. A reading that
// stops on a fault of the database gives the fault; any other failure reads as no rows, so that every
// element counts as new, as a failed lookup would.
template<typename Each>
bool readIds(const QSqlDatabase &connection, const QString &sql, QString *fault, Each each)
{
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    bool read = query.exec(sql);
    if (read) {
        while (query.next())
            each(query);
        read = !query.lastError().isValid();
    }
    if (!read && storagefault::isEnvironment(query.lastError())) {
        *fault = storagefault::describe(query.lastError());
        return false;
    }
    return true;
}

} // namespace

int Merger::mergeNewer(const RecordSource &document, const QString &table, const QString &timestampColumn,
                       QString *fault)
{
    const TableInfo *info = findTable(table);
    if (!info || !fault->isEmpty())
        return 0;
    const qsizetype count = document.size(table);
    if (count == 0)
        return 0;
    const int timestampIndex = info->columns.indexOf(timestampColumn);
    if (timestampIndex < 0)
        return 0;

    // The master's ids and timestamps as SQLite gives them back, read once instead of one lookup per
    // element. Each write updates the hash, so a document that holds an id twice compares its second
    // copy with the first.
    QHash<QString, QString> local;
    if (!readIds(
            connection, QStringLiteral("SELECT id, %1 FROM %2").arg(timestampColumn, table), fault,
            [&local](const QSqlQuery &query) { local.insert(query.value(0).toString(), query.value(1).toString()); }))
        return 0;

    RecordWriter writer(connection, *info);
    int written = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const QJsonObject record = document.record(table, i);
        const QString id = recordId(record);
        if (id.isEmpty())
            continue;
        const auto found = local.constFind(id);
        if (found != local.constEnd() && !found->isEmpty()) {
            const QString incoming = storableText(recordText(record, timestampColumn));
            if (incoming.isEmpty() || !(incoming > *found))
                continue;
        }
        if (writer.write(record)) {
            ++written;
            local.insert(id, writer.writtenValue(timestampIndex).toString());
        } else if (writer.failedOnEnvironment()) {
            *fault = writer.errorText();
            return 0;
        }
    }
    return written;
}

int Merger::mergeMissing(const RecordSource &document, const QString &table, QString *fault)
{
    const TableInfo *info = findTable(table);
    if (!info || !fault->isEmpty())
        return 0;
    const qsizetype count = document.size(table);
    if (count == 0)
        return 0;

    // Every id the master holds, live or deleted, read once.
    QSet<QString> present;
    if (!readIds(connection, QStringLiteral("SELECT id FROM %1").arg(table), fault,
                 [&present](const QSqlQuery &query) { present.insert(query.value(0).toString()); }))
        return 0;

    RecordWriter writer(connection, *info);
    int written = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const QJsonObject record = document.record(table, i);
        const QString id = recordId(record);
        if (id.isEmpty() || present.contains(id))
            continue;
        if (writer.write(record)) {
            ++written;
            present.insert(id);
        } else if (writer.failedOnEnvironment()) {
            *fault = writer.errorText();
            return 0;
        }
    }
    return written;
}
