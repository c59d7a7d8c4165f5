#pragma once

#include "storage/csvtext.h"
#include "storage/importplan.h"

#include <QJsonValue>
#include <QString>

struct TableInfo;

// Decides, without touching the database, what importing a read file into a table would do: which rows
// are new, which change which columns, which are unchanged, and why any row cannot be taken.
class ImportPlanner
{
public:
    static ImportPlan plan(const TableInfo &table, const csvtext::Document &file, const ImportBasis &basis);

    // The table a reference column of `table` points at.
    static QString referencedTable(const QString &column, const QString &table);

    // A number as the operator may type it: sign, "¥"/"￥", surrounding spaces and thousands separators
    // ("1,234.5") allowed; false for anything else.
    static bool parseNumber(const QString &text, double *value);

    // Excel's exponent form of a long number, as it turns a barcode into "6.9E+12".
    static bool isSpreadsheetExponent(const QString &text);

    static const QString exponentReason;
};
