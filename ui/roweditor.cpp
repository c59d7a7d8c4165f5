#include "ui/roweditor.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"
#include "storage/database.h"
#include "storage/snapshottext.h"
#include "ui/treepaths.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace {

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
        return Database::instance().customerChoices();
    return Database::instance().itemChoices();
}

} // namespace

RowEditor::RowEditor(const QString &table, const QString &title, const QStringList &fields, const QJsonObject &existing,
                     bool isNew, QWidget *parent)
    : QDialog(parent)
    , fields(fields)
    , isNew(isNew)
{
    setWindowTitle(title);
    setMinimumWidth(470);
    auto *form = new QFormLayout(this);
    form->setContentsMargins(20, 18, 20, 14);
    form->setSpacing(10);

    // An edited node cannot move below itself: that would cut it and its subtree off the tree.
    QSet<QString> notParents;
    if (!isNew)
        notParents = TreePaths(Database::instance().rows(table)).subtree(recordText(existing, QStringLiteral("id")));

    for (const QString &column : fields) {
        if (hasNoField(column))
            continue;
        QWidget *field = nullptr;
        if (const QHash<QString, QString> *words = codeWords(column)) {
            // The words the table shows, each carrying its code; anything else may still be typed.
            auto *combo = new QComboBox(this);
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
            auto *edit = new QLineEdit(this);
            // Numbers come back exactly as stored, so that saving an untouched row changes nothing.
            if (existing.contains(column))
                edit->setText(snapshottext::valueText(existing.value(column)));
            textFields.insert(column, edit);
            field = edit;
        } else {
            ChoiceList list;
            list.combo = new QComboBox(this);
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

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("保存"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);

    if (isNew)
        setWindowTitle(title + QStringLiteral("（ID 留空自动生成）"));
}

QJsonObject RowEditor::values() const
{
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
