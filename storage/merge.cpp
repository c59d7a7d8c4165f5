#include "storage/database.h"

#include "catalogue/catalogue.h"
#include "storage/recordsource.h"
#include "storage/recordwriter.h"

#include <QHash>
#include <QJsonArray>
#include <QSet>
#include <QSqlQuery>

namespace {

// A document already parsed, as the fuzz target and the tests hand it over.
class DocumentSource : public RecordSource
{
public:
    explicit DocumentSource(const QJsonObject &document)
    {
        for (const TableInfo &table : tables())
            arrays.insert(table.key, document.value(table.key).toArray());
    }

    qsizetype size(const QString &table) const override { return arrays.value(table).size(); }

    QJsonObject record(const QString &table, qsizetype index) const override
    {
        return arrays.value(table).at(index).toObject();
    }

private:
    QHash<QString, QJsonArray> arrays;
};

} // namespace

MergeResult Database::merge(const QJsonObject &document)
{
    return merge(DocumentSource(document));
}

MergeResult Database::merge(const RecordSource &document)
{
    // One transaction for the whole push: one write to disk instead of one per row. A row that fails is
    // skipped on its own; the rows written before and after it still commit.
    const bool inTransaction = connection.transaction();
    const int items = mergeNewer(document, QStringLiteral("items"), QStringLiteral("updatedAt"));
    const int categories = mergeNewer(document, QStringLiteral("categories"), QStringLiteral("createdAt"));
    const int locations = mergeNewer(document, QStringLiteral("locations"), QStringLiteral("createdAt"));
    const int customers = mergeNewer(document, QStringLiteral("customers"), QStringLiteral("createdAt"));
    const int transactions = mergeMissing(document, QStringLiteral("transactions"));
    const int relations = mergeMissing(document, QStringLiteral("relations"));
    if (inTransaction && !connection.commit())
        connection.rollback();

    MergeResult result;
    result.perTable = QJsonObject{
        {QStringLiteral("items"), items},
        {QStringLiteral("transactions"), transactions},
        {QStringLiteral("categories"), categories},
        {QStringLiteral("locations"), locations},
        {QStringLiteral("customers"), customers},
        {QStringLiteral("relations"), relations},
    };
    if (items)
        result.details << QStringLiteral("物品 %1 新增/更新").arg(items);
    if (transactions)
        result.details << QStringLiteral("流水 %1 新增").arg(transactions);
    if (categories || locations || customers)
        result.details << QStringLiteral("分类 %1、存放处 %2、客户 %3").arg(categories).arg(locations).arg(customers);
    if (relations)
        result.details << QStringLiteral("关联 %1 新增").arg(relations);
    if (result.details.isEmpty())
        result.details << QStringLiteral("没有新数据");
    return result;
}

int Database::mergeNewer(const RecordSource &document, const QString &table, const QString &timestampColumn)
{
    const TableInfo *info = findTable(table);
    if (!info)
        return 0;
    const qsizetype count = document.size(table);
    if (count == 0)
        return 0;
    const int timestampIndex = info->columns.indexOf(timestampColumn);
    if (timestampIndex < 0)
        return 0;

    // The master's timestamps, read once instead of one lookup per element. Each write updates the hash,
    // so a document that holds an id twice compares its second copy with the first. If the read fails,
    // every element counts as new, as a failed lookup would.
    QHash<QString, QString> local;
    {
        QSqlQuery query(connection);
        query.setForwardOnly(true);
        if (query.exec(QStringLiteral("SELECT id, %1 FROM %2").arg(timestampColumn, table))) {
            while (query.next())
                local.insert(query.value(0).toString(), query.value(1).toString());
        }
    }

    RecordWriter writer(connection, *info);
    int written = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const QJsonObject record = document.record(table, i);
        const QString id = recordText(record, QStringLiteral("id"));
        if (id.isEmpty())
            continue;
        const auto found = local.constFind(id);
        if (found != local.constEnd() && !found->isEmpty()) {
            const QString incoming = recordText(record, timestampColumn);
            if (incoming.isEmpty() || !(incoming > *found))
                continue;
        }
        ++written;
        if (writer.write(record))
            local.insert(id, writer.writtenValue(timestampIndex).toString());
    }
    return written;
}

int Database::mergeMissing(const RecordSource &document, const QString &table)
{
    const TableInfo *info = findTable(table);
    if (!info)
        return 0;
    const qsizetype count = document.size(table);
    if (count == 0)
        return 0;

    // Every id the master holds, live or deleted, read once.
    QSet<QString> present;
    {
        QSqlQuery query(connection);
        query.setForwardOnly(true);
        if (query.exec(QStringLiteral("SELECT id FROM %1").arg(table))) {
            while (query.next())
                present.insert(query.value(0).toString());
        }
    }

    RecordWriter writer(connection, *info);
    int written = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const QJsonObject record = document.record(table, i);
        const QString id = recordText(record, QStringLiteral("id"));
        if (id.isEmpty() || present.contains(id))
            continue;
        ++written;
        if (writer.write(record))
            present.insert(id);
    }
    return written;
}
