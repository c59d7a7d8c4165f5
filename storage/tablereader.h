#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <string>

class RowTable;
struct sqlite3;
struct sqlite3_stmt;

// Reads the live rows of one data table, straight from SQLite where Qt's driver runs on the same library,
// through QSqlQuery otherwise. Every reader of Records goes through it, so the rules by which a stored
// value becomes a Record value live here alone: NULL as "", reals and integers as numbers, text as the
// driver's UTF-16 reading of it, a blob as its bytes read as UTF-8.
// A reading that stops on an error is not a whole table: after next() gave false, failed() tells.
class TableReader
{
public:
    TableReader(const QSqlDatabase &connection, const QString &table, bool direct);
    ~TableReader();
    Q_DISABLE_COPY(TableReader)

    bool next();
    bool failed() const { return failure; }
    // The reason of a failure, for the operator or a phone.
    QString errorText() const { return error; }

    const QStringList &columns() const { return names; }
    QJsonValue value(int column) const;
    // The value as compact JSON, exactly as QJsonDocument would write value(column).
    void appendJson(QByteArray &out, int column) const;
    // The value added to the row the table last started.
    void appendTo(RowTable &rows, int column) const;
    // A key of the row's values: equal keys mean equal Records. A direct reading takes the stored type
    // and bytes of each column, a reading through QSqlQuery the values as the driver gives them; the
    // two kinds of key are not to be mixed. Written into a buffer that keeps its capacity from row to row.
    void rowKey(std::string *key) const;

    bool isDirect() const { return statement != nullptr; }

    // The connection's SQLite handle when it may be used with this program's sqlite3 functions.
    static sqlite3 *sharedHandle(const QSqlDatabase &connection);

private:
    void fail(int code, const QString &driverText);
    template<typename Sink>
    void visit(int column, Sink &sink) const;

    sqlite3_stmt *statement = nullptr;
    QSqlQuery query;
    QStringList names;
    bool failure = false;
    QString error;
};
