#include "ui/mainwindow.h"

#include <QWidget>

QWidget *MainWindow::buildSettingsPage()
{
    return new QWidget(this);
}

void MainWindow::restartServer() {}

void MainWindow::onAutoPublicIp() {}

void MainWindow::onCopyKey() {}

void MainWindow::onSaveSettings() {}

void MainWindow::onToggleServer() {}
