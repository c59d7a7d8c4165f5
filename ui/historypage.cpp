#include "ui/mainwindow.h"

#include <QWidget>

QWidget *MainWindow::buildHistoryPage()
{
    return new QWidget(this);
}

void MainWindow::refreshVersions() {}

void MainWindow::onMakeSnapshot() {}

void MainWindow::onRollback() {}
