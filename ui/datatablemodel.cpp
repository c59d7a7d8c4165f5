#include "ui/datatablemodel.h"

#include "catalogue/catalogue.h"
#include "storage/database.h"
#include "ui/actiondelegate.h"

#include <QBrush>
#include <QColor>
#include <QFont>

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
    // A failed reading leaves no rows: the page shows none.
    Database::instance().readTable(table->key, &rows);
    takeRows(table, search);
    endResetModel();
    return true;
}

bool DataTableModel::show(const QString &tableKey, const QString &search, RowTable &&read)
{
    const TableInfo *table = findTable(tableKey);
    if (!table)
        return false;
    beginResetModel();
    rows = std::move(read);
    takeRows(table, search);
    endResetModel();
    return true;
}

void DataTableModel::takeRows(const TableInfo *table, const QString &search)
{
    shownTable = table;
    tree = isTreeTable(table->key);
    searchText = search;
    idColumn = rows.columnIndex(QStringLiteral("id"));
    plan = planTable(*table, rows);
    planOfColumn.fill(-1, plan.headers.size());
    for (int k = 0; k < plan.columns.size(); ++k)
        planOfColumn[plan.columns.at(k).tableColumn] = k;
    // Names and paths may have changed with the rows.
    display = DisplayCache(&categoryRowsMemo, &locationRowsMemo);
    layOut();
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
    if (searchText.isEmpty()) {
        QList<int> every(rows.rowCount());
        std::iota(every.begin(), every.end(), 0);
        return every;
    }
    QList<int> searched;
    for (const QString &column : shownTable->columns)
        searched.append(rows.columnIndex(column));
    return rows.rowsMatching(searched, searchText);
}

QList<int> DataTableModel::orderAsTree(const QList<int> &passing, bool searching)
{
    const int parentColumn = rows.columnIndex(QStringLiteral("parentId"));
    const int nameColumn = rows.columnIndex(QStringLiteral("name"));
    QHash<QString, int> byId;
    for (int position : passing)
        byId.insert(idOf(position), position);

    QStringList roots;
    QHash<QString, QStringList> children;
    for (int position : passing) {
        const QString id = idOf(position);
        const QString parentId = rows.text(position, parentColumn);
        if (!parentId.isEmpty() && byId.contains(parentId))
            children[parentId].append(id);
        else
            roots.append(id);
    }

    QHash<QString, QString> names;
    for (auto it = byId.cbegin(); it != byId.cend(); ++it)
        names.insert(it.key(), rows.text(it.value(), nameColumn));
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

QString DataTableModel::idAt(int row) const
{
    if (row < 0 || row >= shown.size())
        return QString();
    return idOf(shown.at(row));
}

int DataTableModel::rowOf(const QString &id) const
{
    if (id.isEmpty() || idColumn < 0)
        return -1;
    const int position = rows.rowWithText(idColumn, id);
    return position < 0 ? -1 : int(shown.indexOf(position));
}

bool DataTableModel::isUnfolded(const QString &id) const
{
    return !searchText.isEmpty() || expandedIds.contains(id);
}

QString DataTableModel::decoratedName(const QString &id, const QString &text) const
{
    const bool parent = parentIds.contains(id);
    const QString marker =
        !parent ? QStringLiteral("   ") : (isUnfolded(id) ? QStringLiteral("▼ ") : QStringLiteral("▶ "));
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
    if (role == Qt::UserRole)
        return idOf(position);
    // Only a tree has parents, and only a tree's cells need their row's id for their look.
    const QString id = tree ? idOf(position) : QString();
    const bool parent = tree && parentIds.contains(id);
    if (role == ActionDelegate::ParentRole)
        return parent;

    const int planned = index.column() < planOfColumn.size() ? planOfColumn.at(index.column()) : -1;
    if (planned < 0)
        return QVariant();
    const ColumnPlan *column = &plan.columns.at(planned);
    const bool decorated = tree && column->name == QLatin1String("name");
    switch (role) {
    case Qt::DisplayRole: {
        const QString text = cellText(rows, position, *column, display);
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
