#include "ui/mainwindow.h"

void MainWindow::onExportCsv() {}

QString MainWindow::csvField(const QJsonValue &)
{
    return QString();
}
