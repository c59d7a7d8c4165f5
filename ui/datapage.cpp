#include "ui/mainwindow.h"

#include <QWidget>

QWidget *MainWindow::buildDataPage()
{
    return new QWidget(this);
}

void MainWindow::refreshDataTable() {}

QJsonArray MainWindow::orderAsTree(const QJsonArray &rows, bool)
{
    return rows;
}

QString MainWindow::currentRowId() const
{
    return QString();
}

QString MainWindow::currentTableKey() const
{
    return QString();
}

void MainWindow::onTableChanged(int) {}

void MainWindow::onSearchChanged(const QString &) {}
