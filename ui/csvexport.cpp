#include "ui/csvexport.h"

#include "catalogue/catalogue.h"
#include "storage/diskspace.h"
#include "storage/rowtable.h"
#include "storage/snapshottext.h"

#include <QFile>
#include <QMessageBox>
#include <QTextStream>

QString csvField(const QJsonValue &value)
{
    QString text = snapshottext::valueText(value);
    text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

void exportCsv(QWidget *parent, const TableInfo &table, const RowTable &rows, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QMessageBox::warning(
            parent, QStringLiteral("导出失败"),
            QStringLiteral("没能打开文件：\n%1\n\n%2").arg(path, diskspace::osReason(file.errorString())));
        return;
    }

    QTextStream out(&file);
    out.setEncoding(QStringConverter::Utf8);
    out << QChar(0xFEFF);
    QStringList fields;
    for (const QString &column : table.columns)
        fields.append(csvField(column));
    out << fields.join(QLatin1Char(',')) << "\r\n";
    QList<int> columns;
    for (const QString &column : table.columns)
        columns.append(rows.columnIndex(column));
    for (int row = 0; row < rows.rowCount(); ++row) {
        fields.clear();
        for (const int column : std::as_const(columns))
            fields.append(csvField(rows.value(row, column)));
        out << fields.join(QLatin1Char(',')) << "\r\n";
    }
    out.flush();

    // A full disk or a vanished device shows only here; such a file is not a finished export.
    const bool written = out.status() == QTextStream::Ok && file.error() == QFileDevice::NoError && file.flush();
    const QString error = file.errorString();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        QMessageBox::warning(parent, QStringLiteral("导出失败"),
                             QStringLiteral("文件没能写完整（磁盘满了或设备已拔出？）：\n%1\n\n%2")
                                 .arg(path, written ? file.errorString() : error));
        return;
    }
    QMessageBox::information(parent, QStringLiteral("导出完成"), QStringLiteral("已导出到：\n") + path);
}
