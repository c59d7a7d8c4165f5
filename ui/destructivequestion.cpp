#include "ui/destructivequestion.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QString>

bool askDestructiveQuestion(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    box.button(QMessageBox::Yes)->setObjectName(QStringLiteral("danger"));
    box.button(QMessageBox::No)->setObjectName(QStringLiteral("plain"));
    return box.exec() == QMessageBox::Yes;
}
