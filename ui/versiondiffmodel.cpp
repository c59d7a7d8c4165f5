#include "ui/versiondiffmodel.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"
#include "storage/snapshottext.h"

#include <algorithm>

namespace {

enum Column {
    TableColumn,
    ChangeColumn,
    RowColumn,
    FieldsColumn,
    ColumnCount
};

QString changeWord(RowDiff::Kind kind)
{
    switch (kind) {
    case RowDiff::Added:
        return QStringLiteral("新增");
    case RowDiff::Deleted:
        return QStringLiteral("删除");
    case RowDiff::Changed:
        break;
    }
    return QStringLiteral("修改");
}

// The columns a line names, as the data page leaves the row's own id and the derived texts out.
bool isShownColumn(const QString &column)
{
    static const QStringList hidden{QStringLiteral("id"),           QStringLiteral("pinyin"),
                                    QStringLiteral("imagePath"),    QStringLiteral("categoryPath"),
                                    QStringLiteral("locationPath"), QStringLiteral("updatedAt")};
    return !hidden.contains(column);
}

} // namespace

VersionDiffModel::VersionDiffModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void VersionDiffModel::show(std::shared_ptr<const VersionDiff> diff)
{
    beginResetModel();
    shown = std::move(diff);
    starts.clear();
    lines = 0;
    if (shown) {
        for (const TableDiff &table : shown->tables()) {
            starts << lines;
            lines += int(table.rows.size());
        }
    }
    marks.assign(size_t(lines), false);
    checked = 0;
    // The names are read anew: the rows they name may have changed since the last comparison.
    names = DisplayCache();
    endResetModel();
}

int VersionDiffModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : lines;
}

int VersionDiffModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

std::pair<const TableDiff *, int> VersionDiffModel::locate(int line) const
{
    const auto after = std::upper_bound(starts.cbegin(), starts.cend(), line);
    const int table = int(after - starts.cbegin()) - 1;
    return {&shown->tables().at(table), line - starts.at(table)};
}

QVariant VersionDiffModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || !shown || index.row() >= lines)
        return {};
    if (role == Qt::CheckStateRole && index.column() == TableColumn)
        return marks[size_t(index.row())] ? Qt::Checked : Qt::Unchecked;
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    const auto [table, at] = locate(index.row());
    const RowDiff &row = table->rows.at(at);
    switch (index.column()) {
    case TableColumn:
        return findTable(table->table)->label;
    case ChangeColumn:
        return changeWord(row.kind);
    case RowColumn: {
        const QJsonObject record =
            row.kind == RowDiff::Deleted ? shown->before(table->table, row) : shown->after(table->table, row);
        return rowName(table->table, record);
    }
    case FieldsColumn:
        return fieldsText(table->table, row);
    default:
        return {};
    }
}

bool VersionDiffModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || role != Qt::CheckStateRole || index.column() != TableColumn || index.row() >= lines)
        return false;
    const bool mark = value.value<Qt::CheckState>() == Qt::Checked;
    if (marks[size_t(index.row())] == mark)
        return true;
    marks[size_t(index.row())] = mark;
    checked += mark ? 1 : -1;
    Q_EMIT dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

QVariant VersionDiffModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const QStringList headers{QStringLiteral("表"), QStringLiteral("改动"), QStringLiteral("行"),
                                     QStringLiteral("内容")};
    return headers.value(section);
}

Qt::ItemFlags VersionDiffModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == TableColumn)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

void VersionDiffModel::checkAll(bool mark)
{
    std::fill(marks.begin(), marks.end(), mark);
    checked = mark ? lines : 0;
    if (lines)
        Q_EMIT dataChanged(index(0, TableColumn), index(lines - 1, TableColumn), {Qt::CheckStateRole});
}

QList<std::pair<QString, int>> VersionDiffModel::checkedRows() const
{
    QList<std::pair<QString, int>> rows;
    for (int line = 0; line < lines; ++line) {
        if (marks[size_t(line)]) {
            const auto [table, at] = locate(line);
            rows.append({table->table, at});
        }
    }
    return rows;
}

QString VersionDiffModel::rowName(const QString &table, const QJsonObject &record) const
{
    const QString id = recordText(record, QStringLiteral("id"));
    if (table == QLatin1String("items")) {
        const QString name = recordText(record, QStringLiteral("name"));
        const QString barcode = recordText(record, QStringLiteral("barcode"));
        return barcode.isEmpty() ? name : QStringLiteral("%1（%2）").arg(name, barcode);
    }
    if (table == QLatin1String("categories") || table == QLatin1String("locations")) {
        const QString path = names.text(
            table == QLatin1String("categories") ? QStringLiteral("categoryId") : QStringLiteral("locationId"), id);
        return path == id ? recordText(record, QStringLiteral("name")) : path;
    }
    if (table == QLatin1String("customers"))
        return recordText(record, QStringLiteral("name"));
    if (table == QLatin1String("transactions")) {
        return QStringLiteral("%1 %2").arg(
            names.text(QStringLiteral("itemId"), recordText(record, QStringLiteral("itemId"))),
            recordText(record, QStringLiteral("createdAt")));
    }
    if (table == QLatin1String("relations")) {
        return QStringLiteral("%1 → %2").arg(
            names.text(QStringLiteral("itemId"), recordText(record, QStringLiteral("itemId"))),
            names.text(QStringLiteral("relatedItemId"), recordText(record, QStringLiteral("relatedItemId"))));
    }
    return id;
}

QString VersionDiffModel::fieldText(const QString &column, const QJsonValue &value) const
{
    const QString text = snapshottext::valueText(value);
    if (isReferenceColumn(column))
        return names.text(column, text);
    if (const QHash<QString, QString> *words = codeWords(column))
        return words->value(text, text);
    return text;
}

QString VersionDiffModel::fieldsText(const QString &table, const RowDiff &row) const
{
    const TableInfo *info = findTable(table);
    const QJsonObject before = shown->before(table, row);
    const QJsonObject after = shown->after(table, row);
    QStringList parts;
    for (int i = 0; i < info->columns.size(); ++i) {
        const QString &column = info->columns.at(i);
        if (row.kind == RowDiff::Changed) {
            if (row.changes(i))
                parts << QStringLiteral("%1：%2 → %3")
                             .arg(headerLabel(column), fieldText(column, before.value(column)),
                                  fieldText(column, after.value(column)));
            continue;
        }
        const QJsonValue value = (row.kind == RowDiff::Added ? after : before).value(column);
        const QString text = fieldText(column, value);
        if (isShownColumn(column) && !text.isEmpty())
            parts << QStringLiteral("%1：%2").arg(headerLabel(column), text);
    }
    return parts.join(QStringLiteral("；"));
}
