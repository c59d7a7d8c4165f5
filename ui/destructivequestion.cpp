#include "ui/destructivequestion.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QString>
#include <QStyle>

bool askDestructiveQuestion(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    const QList<QPair<QMessageBox::StandardButton, QString>> looks{{QMessageBox::Yes, QStringLiteral("danger")},
                                                                   {QMessageBox::No, QStringLiteral("plain")}};
    for (const auto &[which, look] : looks) {
        QAbstractButton *button = box.button(which);
        button->setObjectName(look);
        // The box has polished its buttons already; the new name only shows once they are polished again.
        button->style()->unpolish(button);
        button->style()->polish(button);
    }
    return box.exec() == QMessageBox::Yes;
}
