#pragma once

#include <QDialog>
#include <QHash>
#include <QJsonObject>
#include <QStringList>

class QComboBox;
class QLineEdit;

// The form for adding or editing one row: a text field per plain column, the readable words for a
// stored code, and a list of live rows for each column that points at another row.
class RowEditor : public QDialog
{
    Q_OBJECT

public:
    // fields are the columns shown, in order; existing fills them (empty for a new row).
    RowEditor(const QString &table, const QString &title, const QStringList &fields, const QJsonObject &existing,
              bool isNew, QWidget *parent = nullptr);

    // What the form holds, every value as text. A new row leaves out the text fields left empty; an
    // edited one writes them as empty texts.
    QJsonObject values() const;

private:
    // A drop-down list of rows to point at; the first entry stands for no reference.
    struct ChoiceList
    {
        QComboBox *combo = nullptr;
        QStringList ids;
    };

    QStringList fields;
    bool isNew = false;
    QHash<QString, QLineEdit *> textFields;
    QHash<QString, QComboBox *> codeFields;
    QHash<QString, ChoiceList> choiceLists;
};
