#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

// The live rows of one data table, read whole and held in one compact block: each value tagged with
// its kind, text as it was read. It costs about the rows' text, where a Record per row would cost
// several times that, so a reader that keeps a whole table (the data page) keeps this instead.
// Values come out exactly as the same row's Record holds them.
class RowTable
{
public:
    QString tableKey() const { return table; }
    const QStringList &columns() const { return names; }
    // -1 for a column the table does not have.
    int columnIndex(const QString &name) const { return int(names.indexOf(name)); }
    int rowCount() const { return int(rowStart.size()); }
    bool isEmpty() const { return rowStart.isEmpty(); }

    // A column of -1 gives an undefined value, as a Record gives for a key it lacks.
    QJsonValue value(int row, int column) const;
    // The value where it is a string, else the empty text.
    QString text(int row, int column) const;
    QJsonObject record(int row) const;
    // The first row whose value in the column is this text, compared in place; -1 for none.
    int rowWithText(int column, QStringView text) const;
    // The rows, in order, where a string value of one of these columns contains the search text,
    // without regard to letter case. Numbers are not searched.
    QList<int> rowsMatching(const QList<int> &columns, const QString &search) const;

    void clear();

    // Filling, as a reading goes: a row is started, then each of its values added in column order.
    void startRow() { rowStart.append(block.size()); }
    void addNull();
    void addInteger(qint64 value);
    void addReal(double value);
    void addAscii(const char *text, int length);
    void addText(const QString &value);

private:
    friend class RowReader;

    // Where a row's column begins in the block.
    qsizetype find(int row, int column) const;
    QJsonValue decode(qsizetype at) const;

    QString table;
    QStringList names;
    QByteArray block;
    QList<qsizetype> rowStart;
    // What the database said of its changes when the rows were read: while it says the same, they are current.
    QByteArray stamp;
};
