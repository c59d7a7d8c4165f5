#include "catalogue/records.h"

#include <QStringList>

namespace {

// A loop in the parent chain would otherwise never end.
constexpr int pathNamesMax = 50;

} // namespace

QString treePath(const QHash<QString, TreeNode> &nodes, const QString &id)
{
    QStringList names;
    QString current = id;
    while (!current.isEmpty() && names.size() < pathNamesMax) {
        const auto node = nodes.constFind(current);
        if (node == nodes.cend())
            break;
        names.prepend(node->name);
        current = node->parentId;
    }
    return names.join(QStringLiteral(" > "));
}
