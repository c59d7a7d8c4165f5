#pragma once

#include "storage/csvtext.h"
#include "storage/importplan.h"

#include <QDialog>
#include <QString>

class QPushButton;
class QTableWidget;
struct TableInfo;

// Shows what importing a CSV file would do before anything is written: the file, its encoding and
// separator, the counts, the ignored columns, the first rows as they will be stored and every row
// error. "导入" accepts; the rows with errors can be saved to a file of their own to be fixed.
class ImportPreview : public QDialog
{
    Q_OBJECT

public:
    // How many of the rows to be written are shown.
    static constexpr int shownRows = 100;

    ImportPreview(const QString &path, const csvtext::Document &file, const ImportPlan &plan, const TableInfo &table,
                  QWidget *parent = nullptr);

    // Writes the rows with errors, with a column "错误原因", in the file's encoding and separator;
    // false with the reason when the file could not be written whole.
    bool saveErrorRows(const QString &target, QString *error) const;

private:
    void onSaveErrorRows();

    QString path;
    csvtext::Document file;
    ImportPlan plan;
};
