#pragma once

#include "ui/treepaths.h"

#include <QHash>
#include <QString>

#include <optional>

// The display texts of reference values for one refresh of the data page. Each distinct
// (column, value) is looked up once, and category and location paths come from one read
// of their tree, so a page of many items does not read the trees once per cell.
class DisplayCache
{
public:
    // What Database::displayValue(column, value) gives.
    QString text(const QString &column, const QString &value);

private:
    const TreePaths &tree(const QString &table);

    std::optional<TreePaths> categories;
    std::optional<TreePaths> locations;
    QHash<QString, QHash<QString, QString>> known;
};
