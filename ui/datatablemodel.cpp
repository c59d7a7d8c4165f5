#include "ui/datatablemodel.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"
#include "storage/database.h"
#include "ui/actiondelegate.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QStringMatcher>

#include <algorithm>
#include <numeric>

DataTableModel::DataTableModel(QObject *parent)
    : QAbstractTableModel(parent)
    , display(&categoryRowsMemo, &locationRowsMemo)
{
}

bool DataTableModel::reload(const QString &tableKey, const QString &search)
{
    const TableInfo *table = findTable(tableKey);
    if (!table)
        return false;
    beginResetModel();
    if (table != shownTable) {
        rowsMemo.clear();
        searchTexts.clear();
    }
    shownTable = table;
    tree = isTreeTable(table->key);
    searchText = search;
    // Rows that did not change since the last reading come back as the same Records.
    rows = Database::instance().rows(table->key, &rowsMemo);
    keys = rows.isEmpty() ? QStringList() : rows.first().toObject().keys();
    idPosition = int(keys.indexOf(QStringLiteral("id")));
    plan = planTable(*table, keys);
    planOfColumn.fill(-1, plan.headers.size());
    for (int k = 0; k < plan.columns.size(); ++k)
        planOfColumn[plan.columns.at(k).tableColumn] = k;
    // Names and paths may have changed with the rows.
    display = DisplayCache(&categoryRowsMemo, &locationRowsMemo);
    layOut();
    endResetModel();
    return true;
}

void DataTableModel::toggleFold(const QString &id)
{
    if (!expandedIds.remove(id))
        expandedIds.insert(id);
}

void DataTableModel::unfold(const QString &id)
{
    expandedIds.insert(id);
}

void DataTableModel::layOut()
{
    depthById.clear();
    childCountById.clear();
    parentIds.clear();
    shown = matchingRows();
    if (tree)
        shown = orderAsTree(shown, !searchText.isEmpty());
}

QList<int> DataTableModel::matchingRows() const
{
    QList<int> passing;
    if (searchText.isEmpty()) {
        // The texts are only worth their memory while someone is searching.
        searchTexts.clear();
        passing.resize(rows.size());
        std::iota(passing.begin(), passing.end(), 0);
        return passing;
    }
    const qsizetype keyCount = keys.size();
    QList<KeyPosition> searched;
    for (const QString &column : shownTable->columns)
        searched.append(KeyPosition(column, keys));
    const QStringMatcher matcher(searchText, Qt::CaseInsensitive);
    QHash<QString, SearchText> kept;
    kept.reserve(rows.size());
    for (int position = 0; position < rows.size(); ++position) {
        const QJsonObject row = rows.at(position).toObject();
        const QString id = idOf(row);
        // An unchanged row comes back as the very same Record, which compares equal at once.
        const auto known = searchTexts.constFind(id);
        const QString text = known != searchTexts.cend() && known->row == row ? known->text
                                                                             : searchTextOf(row, keyCount, searched);
        kept.insert(id, {row, text});
        if (matcher.indexIn(text) >= 0)
            passing.append(position);
    }
    searchTexts.swap(kept);
    return passing;
}

QList<int> DataTableModel::orderAsTree(const QList<int> &passing, bool searching)
{
    QHash<QString, int> byId;
    for (int position : passing)
        byId.insert(recordText(rows.at(position).toObject(), QStringLiteral("id")), position);

    QStringList roots;
    QHash<QString, QStringList> children;
    for (int position : passing) {
        const QJsonObject row = rows.at(position).toObject();
        const QString id = recordText(row, QStringLiteral("id"));
        const QString parentId = recordText(row, QStringLiteral("parentId"));
        if (!parentId.isEmpty() && byId.contains(parentId))
            children[parentId].append(id);
        else
            roots.append(id);
    }

    QHash<QString, QString> names;
    for (auto it = byId.cbegin(); it != byId.cend(); ++it)
        names.insert(it.key(), recordText(rows.at(it.value()).toObject(), QStringLiteral("name")));
    const auto byName = [&names](const QString &a, const QString &b) { return names.value(a) < names.value(b); };
    std::sort(roots.begin(), roots.end(), byName);
    for (QStringList &list : children)
        std::sort(list.begin(), list.end(), byName);

    QList<int> result;
    QList<QPair<QString, int>> stack;
    for (auto it = roots.crbegin(); it != roots.crend(); ++it)
        stack.append({*it, 0});
    while (!stack.isEmpty()) {
        const auto [id, depth] = stack.takeLast();
        const QStringList kids = children.value(id);
        const int n = int(kids.size());
        if (n > 0)
            parentIds.insert(id);
        childCountById.insert(id, n);
        result.append(byId.value(id));
        depthById.insert(id, depth);
        if (n > 0 && (searching || expandedIds.contains(id))) {
            for (auto it = kids.crbegin(); it != kids.crend(); ++it)
                stack.append({*it, depth + 1});
        }
    }
    return result;
}

QString DataTableModel::idOf(const QJsonObject &record) const
{
    if (idPosition >= 0 && record.size() == keys.size()) {
        const QJsonValue value = (record.constBegin() + idPosition).value();
        return value.isString() ? value.toString() : QString();
    }
    return recordText(record, QStringLiteral("id"));
}

QString DataTableModel::idAt(int row) const
{
    if (row < 0 || row >= shown.size())
        return QString();
    return idOf(rows.at(shown.at(row)).toObject());
}

int DataTableModel::rowOf(const QString &id) const
{
    if (id.isEmpty())
        return -1;
    for (int row = 0; row < shown.size(); ++row) {
        if (idAt(row) == id)
            return row;
    }
    return -1;
}

bool DataTableModel::isUnfolded(const QString &id) const
{
    return !searchText.isEmpty() || expandedIds.contains(id);
}

QString DataTableModel::cellTextAt(int position, const ColumnPlan &column) const
{
    return cellText(rows.at(position).toObject(), keys.size(), column, display);
}

QString DataTableModel::decoratedName(const QString &id, const QString &text) const
{
    const bool parent = parentIds.contains(id);
    const QString marker = !parent ? QStringLiteral("   ") : (isUnfolded(id) ? QStringLiteral("▼ ") : QStringLiteral("▶ "));
    QString decorated = QStringLiteral("    ").repeated(depthById.value(id)) + marker + text;
    if (parent)
        decorated += QStringLiteral("  (%1)").arg(childCountById.value(id));
    return decorated;
}

int DataTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(shown.size());
}

int DataTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(plan.headers.size());
}

QVariant DataTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= shown.size())
        return QVariant();
    const int position = shown.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
    case Qt::FontRole:
    case Qt::ForegroundRole:
    case Qt::UserRole:
    case ActionDelegate::ParentRole:
        break;
    default:
        return QVariant();
    }
    const QString id = idOf(rows.at(position).toObject());
    if (role == Qt::UserRole)
        return id;
    const bool parent = tree && parentIds.contains(id);
    if (role == ActionDelegate::ParentRole)
        return parent;

    const int planned = index.column() < planOfColumn.size() ? planOfColumn.at(index.column()) : -1;
    if (planned < 0)
        return QVariant();
    const ColumnPlan *column = &plan.columns.at(planned);
    const bool decorated = tree && column->key.name == QLatin1String("name");
    switch (role) {
    case Qt::DisplayRole: {
        const QString text = cellTextAt(position, *column);
        return decorated ? decoratedName(id, text) : text;
    }
    case Qt::ToolTipRole:
        if (decorated && parent) {
            return isUnfolded(id) ? QStringLiteral("点一下收起子分类")
                                  : QStringLiteral("点一下展开 %1 个子分类").arg(childCountById.value(id));
        }
        return QVariant();
    case Qt::FontRole:
        if (decorated && parent) {
            QFont font;
            font.setWeight(QFont::Bold);
            return font;
        }
        return QVariant();
    case Qt::ForegroundRole:
        if (decorated && parent)
            return QBrush(QColor(QStringLiteral("#2980B9")));
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant DataTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < plan.headers.size())
        return plan.headers.at(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags DataTableModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}
