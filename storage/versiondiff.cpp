#include "storage/versiondiff.h"

#include "catalogue/catalogue.h"

#include <QHash>
#include <QJsonDocument>

#include <algorithm>

#include <vector>

namespace {

bool isStamp(QByteArrayView key)
{
    return key == "\"updatedAt\"" || key == "\"serverUpdatedAt\"";
}

// The raw text of the element's id, quotes included, or empty when it has no id that is a non-empty string.
QByteArrayView idOf(QByteArrayView element)
{
    qsizetype at = 0;
    QByteArrayView key;
    QByteArrayView value;
    while (SnapshotReader::nextMember(element, &at, &key, &value)) {
        if (key == "\"id\"")
            return value.size() > 2 && value.front() == '"' ? value : QByteArrayView();
    }
    return {};
}

// Whether two elements are the same row but for their stamps, judged on their text alone: true only when
// they list the same keys in the same order with the same text for every other value. False leaves it
// to the Records.
bool sameText(QByteArrayView a, QByteArrayView b)
{
    qsizetype atA = 0;
    qsizetype atB = 0;
    QByteArrayView keyA, keyB, valueA, valueB;
    for (;;) {
        const bool moreA = SnapshotReader::nextMember(a, &atA, &keyA, &valueA);
        const bool moreB = SnapshotReader::nextMember(b, &atB, &keyB, &valueB);
        if (moreA != moreB)
            return false;
        if (!moreA)
            return true;
        if (keyA != keyB || (valueA != valueB && !isStamp(keyA)))
            return false;
    }
}

QJsonObject parse(QByteArrayView element)
{
    return QJsonDocument::fromJson(QByteArray::fromRawData(element.data(), element.size())).object();
}

// The columns of the table whose values differ, stamps left out.
quint32 changedColumns(const TableInfo &table, const QJsonObject &before, const QJsonObject &after)
{
    quint32 fields = 0;
    for (int i = 0; i < table.columns.size() && i < 32; ++i) {
        const QString &column = table.columns.at(i);
        if (column == QLatin1String("updatedAt"))
            continue;
        if (before.value(column) != after.value(column))
            fields |= 1u << i;
    }
    return fields;
}

} // namespace

VersionDiff VersionDiff::compare(const QByteArray &olderText, const QByteArray &newerText,
                                 const std::atomic<bool> *stop)
{
    VersionDiff diff;
    diff.older = std::make_shared<SnapshotReader>(olderText, SnapshotReader::Check::Layout);
    diff.newer = std::make_shared<SnapshotReader>(newerText, SnapshotReader::Check::Layout);
    if (!diff.older->isObject() || !diff.newer->isObject())
        return diff;
    const auto stopped = [stop] { return stop && stop->load(std::memory_order_relaxed); };

    for (const TableInfo &table : ::tables()) {
        const qsizetype olderCount = diff.older->size(table.key);
        const qsizetype newerCount = diff.newer->size(table.key);
        QHash<QByteArrayView, qsizetype> olderIds;
        olderIds.reserve(olderCount);
        for (qsizetype i = 0; i < olderCount; ++i) {
            const QByteArrayView id = idOf(diff.older->element(table.key, i));
            if (!id.isEmpty())
                olderIds.insert(id, i);
            if ((i & 0xfff) == 0 && stopped())
                return diff;
        }

        TableDiff result;
        result.table = table.key;
        QList<RowDiff> changed;
        std::vector<bool> seen(size_t(olderCount), false);
        for (qsizetype i = 0; i < newerCount; ++i) {
            if ((i & 0xfff) == 0 && stopped())
                return diff;
            const QByteArrayView element = diff.newer->element(table.key, i);
            const QByteArrayView id = idOf(element);
            if (id.isEmpty())
                continue;
            const auto found = olderIds.constFind(id);
            if (found == olderIds.constEnd()) {
                result.rows.append(RowDiff{RowDiff::Added, -1, i, 0});
                continue;
            }
            seen[size_t(*found)] = true;
            const QByteArrayView before = diff.older->element(table.key, *found);
            if (sameText(before, element))
                continue;
            const quint32 fields = changedColumns(table, parse(before), parse(element));
            if (fields)
                changed.append(RowDiff{RowDiff::Changed, *found, i, fields});
        }
        result.added = int(result.rows.size());
        for (auto it = olderIds.constBegin(); it != olderIds.constEnd(); ++it) {
            if (!seen[size_t(*it)])
                result.rows.append(RowDiff{RowDiff::Deleted, *it, -1, 0});
        }
        // The hash hands them out in no order; the older snapshot's order is the table's.
        std::sort(result.rows.begin() + result.added, result.rows.end(),
                  [](const RowDiff &a, const RowDiff &b) { return a.before < b.before; });
        result.deleted = int(result.rows.size()) - result.added;
        result.changed = int(changed.size());
        result.rows.append(changed);
        if (!result.rows.isEmpty())
            diff.tableDiffs.append(std::move(result));
    }
    diff.valid = true;
    return diff;
}

int VersionDiff::rowCount() const
{
    int count = 0;
    for (const TableDiff &table : tableDiffs)
        count += int(table.rows.size());
    return count;
}

const TableDiff *VersionDiff::table(const QString &key) const
{
    for (const TableDiff &table : tableDiffs) {
        if (table.table == key)
            return &table;
    }
    return nullptr;
}

QStringList VersionDiff::summaryLines() const
{
    QStringList lines;
    for (const TableDiff &table : tableDiffs) {
        lines << QStringLiteral("%1：新增 %2，修改 %3，删除 %4")
                     .arg(findTable(table.table)->label)
                     .arg(table.added)
                     .arg(table.changed)
                     .arg(table.deleted);
    }
    return lines;
}

QJsonObject VersionDiff::before(const QString &table, const RowDiff &row) const
{
    return row.before < 0 || !older ? QJsonObject() : parse(older->element(table, row.before));
}

QJsonObject VersionDiff::after(const QString &table, const RowDiff &row) const
{
    return row.after < 0 || !newer ? QJsonObject() : parse(newer->element(table, row.after));
}

QString VersionDiff::rowId(const QString &table, const RowDiff &row) const
{
    const QByteArrayView element =
        row.after >= 0 ? newer->element(table, row.after) : older->element(table, row.before);
    const QByteArrayView id = idOf(element);
    if (id.isEmpty())
        return {};
    if (!id.contains('\\'))
        return QString::fromUtf8(id.sliced(1, id.size() - 2));
    return parse(element).value(QStringLiteral("id")).toString();
}
