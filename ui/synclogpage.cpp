#include "ui/mainwindow.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <QWidget>

QWidget *MainWindow::buildSyncLogPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    logView = new QPlainTextEdit(page);
    logView->setReadOnly(true);
    layout->addWidget(logView);
    return page;
}

void MainWindow::refreshSyncLog() {}

void MainWindow::onClearSyncRecords() {}
