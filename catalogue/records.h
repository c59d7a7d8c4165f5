#pragma once

#include <QHash>
#include <QJsonObject>
#include <QString>

#include <optional>

// What every layer reads out of a Record's values the same way.

// A key of a Record as text: the empty text for a missing key and for any value that is not a string.
inline QString recordText(const QJsonObject &record, const QString &key)
{
    const QJsonValue value = record.value(key);
    return value.isString() ? value.toString() : QString();
}

// The value as a 64-bit integer when it is a whole number in that range, as QJsonValue stores integers.
// Infinity and NaN fail the range test; no call to floor, since every number of a table passes here.
inline std::optional<qint64> wholeNumber(double value)
{
    if (value >= -9223372036854775808.0 && value < 9223372036854775808.0) {
        const auto whole = static_cast<qint64>(value);
        if (static_cast<double>(whole) == value)
            return whole;
    }
    return std::nullopt;
}

// One node of a category or location tree.
struct TreeNode
{
    QString name;
    QString parentId;
};

// Names from the highest ancestor found in `nodes` down to the node, joined with " > "; empty for an
// unknown id. A looping chain stops after 50 names.
QString treePath(const QHash<QString, TreeNode> &nodes, const QString &id);
