#pragma once

#include "ui/treepaths.h"

#include <QHash>
#include <QString>

#include <optional>

class RowsMemo;

// The display texts of reference values for one refresh of the data page. Each distinct
// (column, value) is looked up once, and category and location paths come from one read
// of their tree, so a page of many items does not read the trees once per cell.
class DisplayCache
{
public:
    DisplayCache() = default;
    // The trees are read through the given memos, which may outlive the cache: unchanged tree rows
    // then come back without being built anew.
    DisplayCache(RowsMemo *categoryRows, RowsMemo *locationRows)
        : categoryRows(categoryRows)
        , locationRows(locationRows)
    {
    }

    // What Database::displayValue(column, value) gives.
    QString text(const QString &column, const QString &value);

private:
    const TreePaths &tree(const QString &table);

    RowsMemo *categoryRows = nullptr;
    RowsMemo *locationRows = nullptr;
    std::optional<TreePaths> categories;
    std::optional<TreePaths> locations;
    QHash<QString, QHash<QString, QString>> known;
};
