#include "ui/importpreview.h"

#include "catalogue/catalogue.h"
#include "storage/snapshottext.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QTableWidget *makeTable(const QString &name, const QStringList &headers, QWidget *parent)
{
    auto *table = new QTableWidget(0, int(headers.size()), parent);
    table->setObjectName(name);
    table->setHorizontalHeaderLabels(headers);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

void setCell(QTableWidget *table, int row, int column, const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setToolTip(text);
    table->setItem(row, column, item);
}

} // namespace

ImportPreview::ImportPreview(const QString &path, const csvtext::Document &file, const ImportPlan &plan,
                             const TableInfo &table, QWidget *parent)
    : QDialog(parent)
    , path(path)
    , file(file)
    , plan(plan)
{
    setWindowTitle(QStringLiteral("导入预览"));
    resize(900, 640);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 14);
    layout->setSpacing(10);

    auto *source = new QLabel(QStringLiteral("文件：%1\n编码：%2　　分隔符：%3　　导入到：%4")
                                  .arg(QDir::toNativeSeparators(path), csvtext::encodingName(file.encoding),
                                       csvtext::separatorName(file.separator), table.label),
                              this);
    source->setObjectName(QStringLiteral("source"));
    source->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(source);

    const int errorRows = int(plan.errorRecords().size());
    auto *counts = new QLabel(QStringLiteral("新增 %1　　更新 %2　　未变 %3　　有错 %4")
                                  .arg(plan.inserts())
                                  .arg(plan.updates())
                                  .arg(plan.unchanged)
                                  .arg(errorRows),
                              this);
    counts->setObjectName(QStringLiteral("counts"));
    layout->addWidget(counts);

    QStringList remarks;
    if (!plan.ignored.isEmpty())
        remarks << QStringLiteral("忽略的列（当前表没有，或不从文件读取）：%1")
                       .arg(plan.ignored.join(QStringLiteral("、")));
    remarks << plan.notes;
    if (plan.rows.isEmpty())
        remarks << QStringLiteral("没有需要写入的行。");
    auto *notes = new QLabel(remarks.join(QLatin1Char('\n')), this);
    notes->setObjectName(QStringLiteral("notes"));
    notes->setWordWrap(true);
    notes->setVisible(!remarks.isEmpty());
    layout->addWidget(notes);

    QStringList headers{QStringLiteral("行号"), QStringLiteral("操作")};
    for (const QString &column : plan.columns)
        headers << headerLabel(column);
    const int shown = qMin(int(plan.rows.size()), shownRows);
    layout->addWidget(
        new QLabel(plan.rows.size() > shown
                       ? QStringLiteral("将要写入的行（前 %1 行，共 %2 行）：").arg(shown).arg(plan.rows.size())
                       : QStringLiteral("将要写入的行："),
                   this));
    QTableWidget *rows = makeTable(QStringLiteral("previewRows"), headers, this);
    rows->setRowCount(shown);
    for (int r = 0; r < shown; ++r) {
        const ImportRow &row = plan.rows.at(r);
        setCell(rows, r, 0, QString::number(row.line));
        setCell(rows, r, 1, row.isNew ? QStringLiteral("新增") : QStringLiteral("更新"));
        for (int c = 0; c < plan.columns.size(); ++c) {
            const QString &column = plan.columns.at(c);
            QString text = snapshottext::valueText(row.values.value(column));
            if (column == QLatin1String("id") && text.isEmpty())
                text = QStringLiteral("（自动生成）");
            else if (!row.isNew && !row.values.contains(column))
                text = QStringLiteral("（不变）");
            setCell(rows, r, c + 2, text);
        }
    }
    rows->resizeColumnsToContents();
    layout->addWidget(rows, 2);

    layout->addWidget(new QLabel(QStringLiteral("有错的行（不会导入）："), this));
    QTableWidget *errors = makeTable(QStringLiteral("errorRows"),
                                     {QStringLiteral("行号"), QStringLiteral("列"), QStringLiteral("原因")}, this);
    errors->setRowCount(int(plan.errors.size()));
    for (int e = 0; e < plan.errors.size(); ++e) {
        const ImportError &error = plan.errors.at(e);
        setCell(errors, e, 0, QString::number(error.line));
        setCell(errors, e, 1, error.column.isEmpty() ? QStringLiteral("（整行）") : error.column);
        setCell(errors, e, 2, error.reason);
    }
    errors->resizeColumnsToContents();
    layout->addWidget(errors, 1);

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *save = buttons->addButton(QStringLiteral("保存错误行…"), QDialogButtonBox::ActionRole);
    save->setEnabled(!plan.errors.isEmpty());
    QPushButton *import = buttons->addButton(QStringLiteral("导入"), QDialogButtonBox::AcceptRole);
    import->setEnabled(!plan.rows.isEmpty());
    import->setDefault(!plan.rows.isEmpty());
    buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole);
    connect(save, &QPushButton::clicked, this, &ImportPreview::onSaveErrorRows);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

bool ImportPreview::saveErrorRows(const QString &target, QString *error) const
{
    QStringList header = file.header;
    header << QStringLiteral("错误原因");
    QList<QStringList> records{header};
    for (const int r : plan.errorRecords()) {
        QStringList reasons;
        for (const ImportError &e : plan.errors) {
            if (e.record == r)
                reasons << (e.column.isEmpty() ? e.reason : e.column + QStringLiteral("：") + e.reason);
        }
        QStringList fields = file.records.at(r).fields;
        while (fields.size() < file.header.size())
            fields << QString();
        fields << reasons.join(QStringLiteral("；"));
        records << fields;
    }
    const QByteArray bytes = csvtext::compose(records, file);
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = out.errorString();
        return false;
    }
    const bool written = out.write(bytes) == bytes.size() && out.flush();
    const QString reason = out.errorString();
    out.close();
    if (!written || out.error() != QFileDevice::NoError) {
        *error = written ? out.errorString() : reason;
        return false;
    }
    return true;
}

void ImportPreview::onSaveErrorRows()
{
    const QFileInfo source(path);
    const QString target =
        QFileDialog::getSaveFileName(this, QStringLiteral("保存错误行"),
                                     source.dir().filePath(source.completeBaseName() + QStringLiteral("-错误行.csv")),
                                     QStringLiteral("CSV (*.csv *.txt)"));
    if (target.isEmpty())
        return;
    QString error;
    if (saveErrorRows(target, &error))
        QMessageBox::information(this, QStringLiteral("已保存"),
                                 QStringLiteral("有错的 %1 行已保存到：\n%2\n\n改好后可以再导入这个文件。")
                                     .arg(plan.errorRecords().size())
                                     .arg(target));
    else
        QMessageBox::warning(
            this, QStringLiteral("保存失败"),
            QStringLiteral("错误行没能保存（磁盘满了或没有写入权限？）：\n%1\n\n%2").arg(target, error));
}
