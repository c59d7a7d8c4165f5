#include "ui/tableplan.h"

#include "catalogue/catalogue.h"

#include <QSet>

namespace {

const QSet<QString> &hiddenColumns()
{
    static const QSet<QString> hidden = {QStringLiteral("id"), QStringLiteral("imagePath"), QStringLiteral("pinyin"),
                                         QStringLiteral("categoryPath"), QStringLiteral("locationPath")};
    return hidden;
}

bool isTrailingColumn(const QString &column)
{
    return column == QLatin1String("createdAt") || column == QLatin1String("updatedAt");
}

} // namespace

TablePlan planTable(const TableInfo &table, const RowTable &rows)
{
    QStringList dataColumns;
    QStringList trailing;
    for (const QString &column : table.columns) {
        if (hiddenColumns().contains(column))
            continue;
        if (isTrailingColumn(column))
            trailing.append(column);
        else
            dataColumns.append(column);
    }
    TablePlan plan;
    plan.actionColumn = int(dataColumns.size());
    for (const QString &column : std::as_const(dataColumns))
        plan.headers.append(headerLabel(column));
    plan.headers.append(QStringLiteral("操作"));
    for (const QString &column : std::as_const(trailing))
        plan.headers.append(headerLabel(column));
    const QStringList columns = dataColumns + trailing;
    for (int k = 0; k < columns.size(); ++k) {
        const QString &column = columns.at(k);
        plan.columns.append({column,
                             rows.columnIndex(column),
                             k < plan.actionColumn ? k : k + 1,
                             isReferenceColumn(column),
                             codeWords(column),
                             {}});
    }
    return plan;
}
