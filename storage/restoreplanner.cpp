#include "storage/restoreplanner.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"
#include "storage/recordwriter.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

// The columns that point at a row of another table (or of their own), with that table.
struct Reference
{
    const char *table;
    const char *column;
    const char *target;
};

const Reference references[] = {
    {"items", "categoryId", "categories"},    {"items", "locationId", "locations"},
    {"transactions", "itemId", "items"},      {"transactions", "customerId", "customers"},
    {"relations", "itemId", "items"},         {"relations", "relatedItemId", "items"},
    {"categories", "parentId", "categories"}, {"locations", "parentId", "locations"},
};

// A string member's value as text, read from the element's own text; empty for any other value.
QString memberText(QByteArrayView element, QByteArrayView key)
{
    qsizetype at = 0;
    QByteArrayView name;
    QByteArrayView value;
    while (SnapshotReader::nextMember(element, &at, &name, &value)) {
        if (name.size() != key.size() + 2 || name.sliced(1, key.size()) != key)
            continue;
        if (value.size() < 2 || value.front() != '"')
            return {};
        if (!value.contains('\\'))
            return QString::fromUtf8(value.sliced(1, value.size() - 2));
        QByteArray wrapped = "[" + value.toByteArray() + "]";
        return QJsonDocument::fromJson(wrapped).array().at(0).toString();
    }
    return {};
}

QString rowName(const QString &table, const QJsonObject &record)
{
    const QString name = recordText(record, table == QLatin1String("transactions") ? QStringLiteral("itemName")
                                                                                   : QStringLiteral("name"));
    return name.isEmpty() ? recordId(record) : name;
}

} // namespace

int PartialRestore::rowCount() const
{
    int count = 0;
    for (const auto &rows : rowsBack)
        count += int(rows.size());
    for (const auto &ids : removals)
        count += int(ids.size());
    return count;
}

QStringList PartialRestore::tableCounts() const
{
    QStringList lines;
    for (const TableInfo &table : tables()) {
        const qsizetype count = rowsBack.value(table.key).size() + removals.value(table.key).size();
        if (count)
            lines << QStringLiteral("%1 %2 行").arg(table.label).arg(count);
    }
    return lines;
}

RestorePlanner::RestorePlanner(const VersionDiff &diff, const SnapshotReader &current, const std::atomic<bool> *stop)
    : diff(diff)
    , current(current)
{
    if (diff.newerSnapshot())
        since = VersionDiff::compare(diff.newerSnapshot()->document(), current.document(), stop);
}

void RestorePlanner::choose(const QString &table, int row)
{
    const TableDiff *rows = diff.table(table);
    if (!rows || row < 0 || row >= rows->rows.size())
        return;
    const RowDiff &chosen = rows->rows.at(row);
    const QString id = diff.rowId(table, chosen);
    if (planned(table, id))
        return;
    // A comparison that could not be made against the data now counts every row as changed again.
    bool again = !since.isValid();
    if (const TableDiff *changed = since.table(table)) {
        for (const RowDiff &other : changed->rows) {
            if (since.rowId(table, other) == id) {
                again = true;
                break;
            }
        }
    }
    if (again)
        ++changedSince;
    add(table, chosen);
}

void RestorePlanner::add(const QString &table, const RowDiff &row)
{
    if (row.kind == RowDiff::Added) {
        const QString id = diff.rowId(table, row);
        removed[table].insert(id);
        restore.removals[table] << id;
    } else {
        const QJsonObject record = diff.before(table, row);
        writtenBack[table].insert(recordId(record));
        restore.rowsBack[table] << record;
    }
}

bool RestorePlanner::planned(const QString &table, const QString &id) const
{
    return removed.value(table).contains(id) || writtenBack.value(table).contains(id);
}

QList<DanglingRow> RestorePlanner::dangling() const
{
    return findDangling();
}

QList<DanglingRow> RestorePlanner::findDangling() const
{
    QList<DanglingRow> found;
    QSet<QString> named;
    for (const Reference &reference : references) {
        const QString table = QLatin1String(reference.table);
        const QSet<QString> gone = removed.value(QLatin1String(reference.target));
        if (gone.isEmpty())
            continue;
        const QString column = QLatin1String(reference.column);
        const auto note = [&](const QString &id, const QString &name) {
            if (!named.contains(table + QLatin1Char('/') + id)) {
                named.insert(table + QLatin1Char('/') + id);
                found << DanglingRow{table, id, name};
            }
        };
        // The rows live now, less those the restore removes or writes back...
        const QSet<QString> skipped = removed.value(table) + writtenBack.value(table);
        for (qsizetype i = 0, n = current.size(table); i < n; ++i) {
            const QByteArrayView element = current.element(table, i);
            if (!gone.contains(memberText(element, reference.column)))
                continue;
            const QString id = memberText(element, "id");
            if (!skipped.contains(id))
                note(id, rowName(table, current.record(table, i)));
        }
        // ...and those it writes back, as they will be.
        for (const QJsonObject &record : restore.rowsBack.value(table)) {
            if (gone.contains(recordText(record, column)))
                note(recordId(record), rowName(table, record));
        }
    }
    return found;
}

void RestorePlanner::includeDangling()
{
    QHash<QString, QHash<QString, int>> inDiff;
    for (const TableDiff &table : diff.tables()) {
        QHash<QString, int> &ids = inDiff[table.table];
        for (int i = 0; i < table.rows.size(); ++i)
            ids.insert(diff.rowId(table.table, table.rows.at(i)), i);
    }
    for (QList<DanglingRow> rows = findDangling(); !rows.isEmpty(); rows = findDangling()) {
        for (const DanglingRow &row : rows) {
            const int index = inDiff.value(row.table).value(row.id, -1);
            const RowDiff *change = index >= 0 ? &diff.table(row.table)->rows.at(index) : nullptr;
            // A row the change moved here goes back where it was; any other leaves with what it points at.
            if (change && change->kind == RowDiff::Changed && !writtenBack.value(row.table).contains(row.id)) {
                add(row.table, *change);
                continue;
            }
            writtenBack[row.table].remove(row.id);
            QList<QJsonObject> &back = restore.rowsBack[row.table];
            back.removeIf([&row](const QJsonObject &record) { return recordId(record) == row.id; });
            removed[row.table].insert(row.id);
            restore.removals[row.table] << row.id;
        }
    }
}
