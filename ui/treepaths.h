#pragma once

#include "catalogue/records.h"

#include <QHash>
#include <QJsonArray>
#include <QSet>
#include <QString>
#include <QStringList>

// One read of a category or location table, from which every node's path is built in memory.
// The paths are the ones Database::pathOf gives, without reading the table again per node.
class TreePaths
{
public:
    explicit TreePaths(const QJsonArray &liveRows);

    QString name(const QString &id) const { return nodes.value(id).name; }
    QStringList ids() const { return nodes.keys(); }

    // Names from the highest live ancestor down to the node, joined with " > ";
    // empty for an unknown id. A looping chain stops after 50 names.
    QString path(const QString &id) const { return treePath(nodes, id); }

    // The node and everything below it, however deep; a looping chain ends where it comes back.
    QSet<QString> subtree(const QString &id) const;

private:
    QHash<QString, TreeNode> nodes;
    QHash<QString, QStringList> childrenOf;
};
