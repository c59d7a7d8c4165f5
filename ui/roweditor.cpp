#include "ui/mainwindow.h"

QJsonObject MainWindow::showRowEditor(const QString &, const QString &, const QStringList &, const QJsonObject &, bool)
{
    return QJsonObject();
}

void MainWindow::onAddRow() {}

void MainWindow::onEditRow() {}
