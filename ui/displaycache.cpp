#include "ui/displaycache.h"

#include "storage/database.h"

QString DisplayCache::text(const QString &column, const QString &value)
{
    if (value.isEmpty())
        return QString();

    QHash<QString, QString> &shownFor = known[column];
    const auto found = shownFor.constFind(value);
    if (found != shownFor.cend())
        return *found;

    QString shown;
    if (column == QLatin1String("categoryId"))
        shown = tree(QStringLiteral("categories")).path(value);
    else if (column == QLatin1String("locationId"))
        shown = tree(QStringLiteral("locations")).path(value);
    // Names of rows outside the live tree, and every other reference, come from storage itself.
    if (shown.isEmpty())
        shown = Database::instance().displayValue(column, value);
    shownFor.insert(value, shown);
    return shown;
}

const TreePaths &DisplayCache::tree(const QString &table)
{
    const bool isCategories = table == QLatin1String("categories");
    std::optional<TreePaths> &slot = isCategories ? categories : locations;
    if (!slot)
        slot.emplace(Database::instance().rows(table, isCategories ? categoryRows : locationRows));
    return *slot;
}
