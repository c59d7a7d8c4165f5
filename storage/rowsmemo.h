#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// What the last reading of one table gave, for a caller that reads the same table again and again
// (the data page, on every keystroke). Each Record is kept with a key of the row's values: a row that
// still has exactly these values gets its earlier Record back instead of a new one, so the result is
// the same as a fresh reading, without building tens of thousands of objects anew.
// It holds about as much memory as the table's text.
class RowsMemo
{
public:
    void clear()
    {
        table.clear();
        direct = false;
        columns.clear();
        records.clear();
        result = QJsonArray();
        stamp.clear();
    }

private:
    friend class RowReader;

    QString table;
    // Whether the keys are a direct reading's.
    bool direct = false;
    QStringList columns;
    QHash<QByteArray, QJsonObject> records;
    // The whole last reading, and what the database said of its changes then: while nothing has been
    // written since, by this connection or any other, the reading is given back without a statement.
    QJsonArray result;
    QByteArray stamp;
};
