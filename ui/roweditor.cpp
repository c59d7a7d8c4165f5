#include "ui/mainwindow.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"
#include "storage/database.h"
#include "storage/rowtable.h"
#include "storage/snapshottext.h"
#include "ui/datapage.h"
#include "ui/treepaths.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace {

// A drop-down list of rows to point at; the first entry stands for no reference.
struct ChoiceList
{
    QComboBox *combo = nullptr;
    QStringList ids;
};

bool hasNoField(const QString &column)
{
    return column == QLatin1String("imagePath") || column == QLatin1String("pinyin");
}

// The live nodes of a tree as indented paths, sorted so that each node follows its parent.
// Nodes in `excluded` are left out.
QList<IdName> treeChoices(const QString &table, const QSet<QString> &excluded)
{
    const TreePaths tree(Database::instance().rows(table));
    QList<IdName> choices;
    for (const QString &id : tree.ids()) {
        if (excluded.contains(id))
            continue;
        QString path = tree.path(id);
        if (path.isEmpty())
            path = tree.name(id);
        choices.append({path, id});
    }
    std::sort(choices.begin(), choices.end(), [](const IdName &a, const IdName &b) { return a.name < b.name; });
    for (IdName &choice : choices) {
        const int depth = int(choice.name.count(QStringLiteral(" > ")));
        choice.name = QStringLiteral("     ").repeated(depth) + choice.name;
    }
    return choices;
}

QList<IdName> choicesFor(const QString &column, const QString &table, const QSet<QString> &excluded)
{
    if (column == QLatin1String("categoryId"))
        return treeChoices(QStringLiteral("categories"), {});
    if (column == QLatin1String("locationId"))
        return treeChoices(QStringLiteral("locations"), {});
    if (column == QLatin1String("parentId"))
        return treeChoices(table, excluded);
    if (column == QLatin1String("customerId"))
        return Database::instance().queryIdName(
            QStringLiteral("SELECT id, name FROM customers WHERE deleted=0 ORDER BY name"));
    return Database::instance().queryIdName(
        QStringLiteral("SELECT id, name || '（' || barcode || '）' FROM items WHERE deleted=0 ORDER BY name"));
}

} // namespace

QJsonObject MainWindow::showRowEditor(const QString &table, const QString &title, const QStringList &fields,
                                      const QJsonObject &existing, bool isNew)
{
    QDialog dialog(this);
    dialog.setWindowTitle(title);
    dialog.setMinimumWidth(470);
    auto *form = new QFormLayout(&dialog);
    form->setContentsMargins(20, 18, 20, 14);
    form->setSpacing(10);

    // An edited node cannot move below itself: that would cut it and its subtree off the tree.
    QSet<QString> notParents;
    if (!isNew)
        notParents = TreePaths(Database::instance().rows(table)).subtree(recordText(existing, QStringLiteral("id")));

    QHash<QString, QLineEdit *> textFields;
    QHash<QString, QComboBox *> codeFields;
    QHash<QString, ChoiceList> choiceLists;
    for (const QString &column : fields) {
        if (hasNoField(column))
            continue;
        QWidget *field = nullptr;
        if (const QHash<QString, QString> *words = codeWords(column)) {
            // The words the table shows, each carrying its code; anything else may still be typed.
            auto *combo = new QComboBox(&dialog);
            combo->setEditable(true);
            combo->setInsertPolicy(QComboBox::NoInsert);
            QStringList codes = words->keys();
            codes.sort();
            for (const QString &code : std::as_const(codes))
                combo->addItem(words->value(code), code);
            const QString stored = snapshottext::valueText(existing.value(column));
            const int known = combo->findData(stored);
            combo->setCurrentIndex(known);
            if (known < 0)
                combo->setEditText(stored);
            codeFields.insert(column, combo);
            field = combo;
        } else if (!isReferenceColumn(column)) {
            auto *edit = new QLineEdit(&dialog);
            // Numbers come back exactly as stored, so that saving an untouched row changes nothing.
            if (existing.contains(column))
                edit->setText(snapshottext::valueText(existing.value(column)));
            textFields.insert(column, edit);
            field = edit;
        } else {
            ChoiceList list;
            list.combo = new QComboBox(&dialog);
            list.combo->addItem(QStringLiteral("（不设置）"));
            list.ids.append(QString());
            const QFontMetrics metrics(list.combo->font());
            int widest = metrics.horizontalAdvance(QStringLiteral("（不设置）"));
            for (const IdName &choice : choicesFor(column, table, notParents)) {
                list.combo->addItem(choice.name);
                list.ids.append(choice.id);
                widest = qMax(widest, metrics.horizontalAdvance(choice.name));
            }
            list.combo->view()->setMinimumWidth(widest + 60);
            const qsizetype selected = list.ids.indexOf(recordText(existing, column));
            list.combo->setCurrentIndex(selected > 0 ? int(selected) : 0);
            choiceLists.insert(column, list);
            field = list.combo;
        }
        field->setObjectName(column);
        form->addRow(headerLabel(column), field);
    }

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("保存"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);

    if (isNew)
        dialog.setWindowTitle(title + QStringLiteral("（ID 留空自动生成）"));

    if (dialog.exec() != QDialog::Accepted)
        return QJsonObject();

    QJsonObject result;
    for (const QString &column : fields) {
        if (choiceLists.contains(column)) {
            const ChoiceList &list = choiceLists.value(column);
            const int index = list.combo->currentIndex();
            result.insert(column, index >= 0 && index < list.ids.size() ? list.ids.at(index) : QString());
        } else if (QComboBox *combo = codeFields.value(column)) {
            const QString text = combo->currentText().trimmed();
            const QString code = codeWords(column)->key(text, text);
            if (!isNew || !code.isEmpty())
                result.insert(column, code);
        } else if (QLineEdit *edit = textFields.value(column)) {
            const QString text = edit->text().trimmed();
            if (!isNew || !text.isEmpty())
                result.insert(column, text);
        }
    }
    return result;
}

void MainWindow::onAddRow()
{
    const TableInfo *table = dataPage->currentTable();
    if (!table)
        return;
    const QJsonObject values = showRowEditor(table->key, QStringLiteral("新增") + table->label,
                                             table->columns.mid(1), QJsonObject(), true);
    if (values.isEmpty())
        return;

    applyChange(*table, QStringLiteral("新增"), QString(), QStringLiteral("数据库没有存下这一条"),
                [&](QString *error) { return Database::instance().upsert(table->key, values, error); });
}

void MainWindow::onEditRow()
{
    const TableInfo *table = nullptr;
    QString id;
    if (!selectedRow(&table, &id))
        return;
    Database &db = Database::instance();
    if (isTreeTable(table->key) && db.hasChildren(table->key, id)) {
        QMessageBox::information(
            this, QStringLiteral("这是主级，不能修改"),
            QStringLiteral("它下面还有子分类/子存放处。\n\n要改它，先把下面的子项处理掉；或者双击名称左边的箭头展开。"));
        return;
    }

    const RowTable &rows = dataPage->rows();
    const int row = rows.rowWithText(rows.columnIndex(QStringLiteral("id")), id);
    if (row < 0)
        return;
    const QJsonObject record = rows.record(row);

    const QJsonObject values =
        showRowEditor(table->key, QStringLiteral("修改") + table->label, table->columns.mid(1), record, false);
    if (values.isEmpty())
        return;

    applyChange(*table, QStringLiteral("修改"), id, QStringLiteral("数据库没有存下这次修改"), [&](QString *error) {
        return db.updateRecord(table->key, id, values, error) ? id : QString();
    });
}

void MainWindow::applyChange(const TableInfo &table, const QString &action, const QString &id, const QString &failure,
                             const std::function<QString(QString *error)> &write)
{
    Database &db = Database::instance();
    const QString target = id.isEmpty() ? table.key : QStringLiteral("%1 #%2").arg(table.key, id);
    db.saveVersion(QStringLiteral("界面%1 %2 前").arg(action, target), QStringLiteral("qt"));
    QString error;
    const QString changed = write(&error);
    if (changed.isEmpty()) {
        // Nothing was changed: say so rather than log it as done. The version above stays.
        QMessageBox::warning(this, action + QStringLiteral("失败"),
                             error.isEmpty() ? failure + QStringLiteral("。") : failure + QStringLiteral("：\n") + error);
        return;
    }
    db.logSync(QStringLiteral("qt-ui"), action, QStringLiteral("%1 %2").arg(table.label, changed));
    dataPage->refresh(true);
    refreshStatusCard();
    refreshSyncLog();
}
