#pragma once

class QJsonValue;
class QString;
class QWidget;
class RowTable;
struct TableInfo;

// One CSV field: the value's text as stored, quoted, its quotes doubled. A number is written as the
// shortest text that reads back to it; anything but a number or a text is an empty field.
QString csvField(const QJsonValue &value);

// Writes the rows under the table's column names to a UTF-8 file with a byte order mark, every field
// quoted, and tells the operator in a box whether the whole file was written.
void exportCsv(QWidget *parent, const TableInfo &table, const RowTable &rows, const QString &path);
