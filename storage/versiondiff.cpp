#include "storage/versiondiff.h"

#include "catalogue/catalogue.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <algorithm>
#include <vector>

namespace {

// Tables smaller than this are compared on one thread: starting threads would cost more than it saves.
constexpr qsizetype rowsPerPart = 8192;

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

QJsonObject parse(QByteArrayView element)
{
    return QJsonDocument::fromJson(QByteArray::fromRawData(element.data(), element.size())).object();
}

QJsonValue parseValue(QByteArrayView text)
{
    QByteArray wrapped;
    wrapped.reserve(text.size() + 2);
    wrapped.append('[').append(text).append(']');
    return QJsonDocument::fromJson(wrapped).array().first();
}

// An integer written the one way JSON allows it, small enough to be read exactly: two such texts that
// differ are different numbers.
bool isPlainInteger(QByteArrayView text)
{
    if (text.startsWith('-'))
        text = text.sliced(1);
    if (text.isEmpty() || text.size() > 15 || (text.front() == '0' && text.size() > 1))
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether two values whose texts differ still differ once read, as QJsonValue judges them. Most pairs
// are told apart by their text alone; escapes and number forms are read.
bool valuesDiffer(QByteArrayView a, QByteArrayView b)
{
    if (a.isEmpty() || b.isEmpty())
        return true;
    if (a.front() == '"' && b.front() == '"' && !a.contains('\\') && !b.contains('\\'))
        return true;
    if (isPlainInteger(a) && isPlainInteger(b) && a != "-0" && b != "-0")
        return true;
    return parseValue(a) != parseValue(b);
}

// A table's columns as they stand quoted in a snapshot's text, for finding them without decoding keys.
struct QuotedColumns
{
    explicit QuotedColumns(const TableInfo &table)
    {
        for (int i = 0; i < table.columns.size() && i < 32; ++i)
            keys.append('"' + table.columns.at(i).toUtf8() + '"');
        stamp = int(table.columns.indexOf(QStringLiteral("updatedAt")));
    }

    // The column's index, trying first the place it has when the columns come in their usual order.
    int find(QByteArrayView key, int expected) const
    {
        if (expected < keys.size() && keys.at(expected) == key)
            return expected;
        for (int i = 0; i < keys.size(); ++i) {
            if (keys.at(i) == key)
                return i;
        }
        return -1;
    }

    QList<QByteArray> keys;
    int stamp = -1;
};

// Each column's value text in the element; false where the text is not as this program writes it (an
// escaped key, say), which leaves the judgement to QJsonDocument.
bool valuesOf(QByteArrayView element, const QuotedColumns &columns, QByteArrayView *values)
{
    qsizetype at = 0;
    QByteArrayView key;
    QByteArrayView value;
    for (int member = 0; SnapshotReader::nextMember(element, &at, &key, &value); ++member) {
        if (key.contains('\\'))
            return false;
        const int column = columns.find(key, member);
        // A later copy of a key replaces an earlier one, as in QJsonDocument.
        if (column >= 0)
            values[column] = value;
    }
    return true;
}

// The columns of the table whose values differ, stamps left out.
quint32 changedColumns(const QuotedColumns &columns, QByteArrayView before, QByteArrayView after)
{
    QByteArrayView old[32];
    QByteArrayView now[32];
    quint32 fields = 0;
    if (valuesOf(before, columns, old) && valuesOf(after, columns, now)) {
        for (int i = 0; i < columns.keys.size(); ++i) {
            if (i == columns.stamp || old[i] == now[i])
                continue;
            // A column missing on one side differs from any value on the other, null included.
            if (old[i].isNull() || now[i].isNull() || valuesDiffer(old[i], now[i]))
                fields |= 1u << i;
        }
        return fields;
    }
    const QJsonObject a = parse(before);
    const QJsonObject b = parse(after);
    for (int i = 0; i < columns.keys.size(); ++i) {
        const QString column = QString::fromUtf8(columns.keys.at(i).sliced(1, columns.keys.at(i).size() - 2));
        if (i != columns.stamp && a.value(column) != b.value(column))
            fields |= 1u << i;
    }
    return fields;
}

// What one stretch of the newer snapshot's rows holds against the older one.
struct Part
{
    QList<RowDiff> added;
    QList<RowDiff> changed;
    std::vector<qsizetype> matched;
    bool stopped = false;
};

} // namespace

VersionDiff VersionDiff::compare(const QByteArray &olderText, const QByteArray &newerText,
                                 const std::atomic<bool> *stop)
{
    VersionDiff diff;
    {
        const std::unique_ptr<QThread> aside(QThread::create(
            [&] { diff.older = std::make_shared<SnapshotReader>(olderText, SnapshotReader::Check::Layout); }));
        aside->start();
        diff.newer = std::make_shared<SnapshotReader>(newerText, SnapshotReader::Check::Layout);
        aside->wait();
    }
    if (!diff.older->isObject() || !diff.newer->isObject())
        return diff;
    const auto stopped = [stop] { return stop && stop->load(std::memory_order_relaxed); };
    const int threads = qBound(1, QThread::idealThreadCount(), 8);

    for (const TableInfo &table : ::tables()) {
        const SnapshotReader &older = *diff.older;
        const SnapshotReader &newer = *diff.newer;
        const qsizetype olderCount = older.size(table.key);
        const qsizetype newerCount = newer.size(table.key);
        QHash<QByteArrayView, qsizetype> olderIds;
        olderIds.reserve(olderCount);
        for (qsizetype i = 0; i < olderCount; ++i) {
            const QByteArrayView id = idOf(older.element(table.key, i));
            if (!id.isEmpty())
                olderIds.insert(id, i);
            if ((i & 0xfff) == 0 && stopped())
                return diff;
        }

        const QuotedColumns columns(table);
        const auto compareRows = [&](qsizetype from, qsizetype to, Part *part) {
            for (qsizetype i = from; i < to; ++i) {
                if (((i - from) & 0xfff) == 0 && stopped()) {
                    part->stopped = true;
                    return;
                }
                const QByteArrayView element = newer.element(table.key, i);
                const QByteArrayView id = idOf(element);
                if (id.isEmpty())
                    continue;
                const auto found = olderIds.constFind(id);
                if (found == olderIds.constEnd()) {
                    part->added.append(RowDiff{RowDiff::Added, -1, i, 0});
                    continue;
                }
                part->matched.push_back(*found);
                const QByteArrayView before = older.element(table.key, *found);
                if (before == element)
                    continue;
                const quint32 fields = changedColumns(columns, before, element);
                if (fields)
                    part->changed.append(RowDiff{RowDiff::Changed, *found, i, fields});
            }
        };
        // The newer rows in stretches, one per thread; each stretch's rows stay in the snapshot's order.
        const int partCount = int(qBound(qsizetype(1), newerCount / rowsPerPart, qsizetype(threads)));
        std::vector<Part> parts(static_cast<size_t>(partCount));
        {
            std::vector<std::unique_ptr<QThread>> helpers;
            for (int p = 1; p < partCount; ++p) {
                helpers.emplace_back(QThread::create(compareRows, newerCount * p / partCount,
                                                     newerCount * (p + 1) / partCount, &parts[size_t(p)]));
                helpers.back()->start();
            }
            compareRows(0, newerCount / partCount, &parts[0]);
            for (const auto &helper : helpers)
                helper->wait();
        }

        TableDiff result;
        result.table = table.key;
        std::vector<bool> seen(size_t(olderCount), false);
        QList<RowDiff> changed;
        for (const Part &part : parts) {
            if (part.stopped)
                return diff;
            result.rows.append(part.added);
            changed.append(part.changed);
            for (const qsizetype index : part.matched)
                seen[size_t(index)] = true;
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
