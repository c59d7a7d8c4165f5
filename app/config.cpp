// The settings file: config.json beside the executable, held in memory as MainWindow::config.
#include "ui/mainwindow.h"

#include "app/paths.h"
#include "sync/syncserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSaveFile>

#include <cmath>

void MainWindow::loadConfig()
{
    QFile file(configPath());
    if (file.open(QIODevice::ReadOnly)) {
        config = QJsonDocument::fromJson(file.readAll()).object();
        file.close();
    }
    if (config.isEmpty()) {
        config.insert(QStringLiteral("syncPort"), 9527);
        config.insert(QStringLiteral("deviceName"), QStringLiteral("电脑主库"));
        config.insert(QStringLiteral("syncKey"), QString());
        config.insert(QStringLiteral("publicHost"), QString());
        saveConfig();
    }
    if (config.value(QStringLiteral("syncKey")).toString().isEmpty())
        onNewKey();

    // The service port is 16 bits wide: a whole number beyond that range would wrap to some other port.
    const QJsonValue port = config.value(QStringLiteral("syncPort"));
    const double number = port.toDouble();
    if (port.isDouble() && number == std::floor(number) && (number < 1 || number > 65535))
        appendLog(QStringLiteral("配置文件里的同步端口 %1 不在 1 - 65535 之间，改用 9527")
                      .arg(QString::number(number, 'f', 0)));
}

void MainWindow::saveConfig()
{
    // Nobody asked for this write, so the log is the only place the operator can learn it failed.
    if (!writeConfigFile())
        appendLog(QStringLiteral("配置文件写入失败，设置只在本次运行中有效: %1").arg(configPath()));
}

bool MainWindow::writeConfigFile()
{
    // Written through a temporary file so that a crash or a full disk never leaves a cut-off file
    // that would cost the operator the sync key.
    QSaveFile file(configPath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(config).toJson(QJsonDocument::Indented));
    return file.commit();
}

void MainWindow::onNewKey()
{
    static const char alphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    QString key;
    for (int i = 0; i < 12; ++i)
        key.append(QLatin1Char(alphabet[QRandomGenerator::global()->generate() >> 27]));
    config.insert(QStringLiteral("syncKey"), key);
    if (keyEdit)
        keyEdit->setText(key);
    if (server)
        server->key = key.trimmed();
    if (config.contains(QStringLiteral("syncPort")))
        saveConfig();
}

int MainWindow::configuredPort() const
{
    const QJsonValue value = config.value(QStringLiteral("syncPort"));
    if (!value.isDouble())
        return 9527;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < 1 || number > 65535)
        return 9527;
    return static_cast<int>(number);
}

QString MainWindow::configuredDeviceName() const
{
    const QJsonValue value = config.value(QStringLiteral("deviceName"));
    return value.isString() ? value.toString() : QStringLiteral("电脑主库");
}
