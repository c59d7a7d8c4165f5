#include "ui/mainwindow.h"

#include "app/paths.h"
#include "app/settings.h"
#include "sync/syncserver.h"

#include <QClipboard>
#include <QFormLayout>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

// The application sheet paints every widget page-grey; labels on a white card must let the card show through.
const QString cardLabels = QStringLiteral("QLabel { background: transparent; }");

} // namespace

QWidget *MainWindow::buildSettingsPage()
{
    // The two cards are taller than the smallest window: the page scrolls rather than cut them off.
    auto *scroller = new QScrollArea(this);
    scroller->setWidgetResizable(true);
    scroller->setFrameShape(QFrame::NoFrame);
    auto *page = new QWidget(scroller);
    scroller->setWidget(page);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(14);

    auto *title = new QLabel(QStringLiteral("设置"), page);
    title->setObjectName(QStringLiteral("cardTitle"));
    layout->addWidget(title);

    auto *settingsCard = new QFrame(page);
    settingsCard->setObjectName(QStringLiteral("card"));
    settingsCard->setStyleSheet(cardLabels);
    auto *form = new QFormLayout(settingsCard);
    form->setContentsMargins(22, 20, 22, 20);
    form->setSpacing(12);

    nameEdit = new QLineEdit(settingsCard);
    form->addRow(QStringLiteral("主库名称"), nameEdit);

    auto *keyRow = new QHBoxLayout;
    keyEdit = new QLineEdit(settingsCard);
    keyEdit->setStyleSheet(QStringLiteral("font-family:Consolas,monospace;"));
    auto *newKeyButton = new QPushButton(QStringLiteral("🎲 换一个"), settingsCard);
    newKeyButton->setObjectName(QStringLiteral("plain"));
    auto *copyKeyButton = new QPushButton(QStringLiteral("复制"), settingsCard);
    copyKeyButton->setObjectName(QStringLiteral("plain"));
    keyRow->addWidget(keyEdit, 1);
    keyRow->addWidget(newKeyButton);
    keyRow->addWidget(copyKeyButton);
    form->addRow(QStringLiteral("同步密钥"), keyRow);

    auto *keyHint = new QLabel(
        QStringLiteral("手机 App 里要填一模一样的。改完点「保存」立刻生效，手机重新扫一下二维码最省事。"), settingsCard);
    keyHint->setObjectName(QStringLiteral("muted"));
    keyHint->setWordWrap(true);
    form->addRow(keyHint);

    portEdit = new QLineEdit(settingsCard);
    portEdit->setFixedWidth(120);
    form->addRow(QStringLiteral("同步端口"), portEdit);

    auto *hostRow = new QHBoxLayout;
    publicHostEdit = new QLineEdit(settingsCard);
    publicHostEdit->setPlaceholderText(QStringLiteral("留空则启动时自动获取"));
    auto *autoHostButton = new QPushButton(QStringLiteral("自动获取"), settingsCard);
    autoHostButton->setObjectName(QStringLiteral("plain"));
    hostRow->addWidget(publicHostEdit, 1);
    hostRow->addWidget(autoHostButton);
    form->addRow(QStringLiteral("公网地址"), hostRow);

    auto *hostHint = new QLabel(
        QStringLiteral("留空时程序会自动获取你的公网 IP，并显示在「手机连接」页的外网二维码上。如果你有域名，可以直接填域名覆盖。"
                       "<br><b>注意：</b>手机在外网能不能真的连上，取决于路由器有没有把同步端口映射到这台电脑。"),
        settingsCard);
    hostHint->setObjectName(QStringLiteral("muted"));
    hostHint->setWordWrap(true);
    hostHint->setTextFormat(Qt::RichText);
    form->addRow(hostHint);

    auto *buttonRow = new QHBoxLayout;
    auto *saveButton = new QPushButton(QStringLiteral("保存设置"), settingsCard);
    auto *restartButton = new QPushButton(QStringLiteral("重启同步服务"), settingsCard);
    restartButton->setObjectName(QStringLiteral("plain"));
    buttonRow->addWidget(saveButton);
    buttonRow->addWidget(restartButton);
    buttonRow->addStretch();
    form->addRow(buttonRow);

    connect(newKeyButton, &QPushButton::clicked, this, &MainWindow::onNewKey);
    connect(copyKeyButton, &QPushButton::clicked, this, &MainWindow::onCopyKey);
    connect(autoHostButton, &QPushButton::clicked, this, &MainWindow::onAutoPublicIp);
    connect(saveButton, &QPushButton::clicked, this, &MainWindow::onSaveSettings);
    connect(restartButton, &QPushButton::clicked, this, &MainWindow::restartServer);
    layout->addWidget(settingsCard);

    auto *serviceCard = new QFrame(page);
    serviceCard->setObjectName(QStringLiteral("card"));
    serviceCard->setStyleSheet(cardLabels);
    auto *serviceLayout = new QVBoxLayout(serviceCard);
    serviceLayout->setContentsMargins(22, 18, 22, 18);
    serviceLayout->setSpacing(10);

    auto *serviceTitle = new QLabel(QStringLiteral("同步服务状态"), serviceCard);
    serviceTitle->setObjectName(QStringLiteral("cardTitle"));
    serviceLayout->addWidget(serviceTitle);

    toggleButton = new QPushButton(serviceCard);
    toggleButton->setFixedWidth(160);
    connect(toggleButton, &QPushButton::clicked, this, &MainWindow::onToggleServer);
    serviceLayout->addWidget(toggleButton);

    const QStringList pathTexts{QStringLiteral("数据库文件：%1").arg(databasePath()),
                                QStringLiteral("配置文件：%1").arg(configPath())};
    for (const QString &text : pathTexts) {
        auto *pathLabel = new QLabel(text, serviceCard);
        pathLabel->setObjectName(QStringLiteral("muted"));
        pathLabel->setWordWrap(true);
        pathLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
        serviceLayout->addWidget(pathLabel);
    }
    layout->addWidget(serviceCard);

    layout->addStretch();
    return scroller;
}

void MainWindow::loadConfig()
{
    config = settings::read(configPath());
    if (config.isEmpty()) {
        config = settings::firstRun();
        saveConfig();
    }
    if (settings::storedKey(config).isEmpty())
        onNewKey();

    const QString outOfRange = settings::portOutOfRange(config);
    if (!outOfRange.isEmpty())
        appendLog(QStringLiteral("配置文件里的同步端口 %1 不在 1 - 65535 之间，改用 9527").arg(outOfRange));
}

void MainWindow::saveConfig()
{
    // Nobody asked for this write, so the log is the only place the operator can learn it failed.
    if (!settings::write(configPath(), config))
        appendLog(QStringLiteral("配置文件写入失败，设置只在本次运行中有效: %1").arg(configPath()));
}

void MainWindow::onNewKey()
{
    const QString key = settings::newKey();
    settings::setKey(config, key);
    if (keyEdit)
        keyEdit->setText(key);
    if (server)
        server->setKey(key.trimmed());
    if (settings::namesPort(config))
        saveConfig();
}

// The service always runs on the saved settings, never on what the fields show unsaved.
void MainWindow::startServerFromConfig()
{
    server->setKey(settings::key(config));
    server->setDeviceName(settings::deviceName(config));
    serverRunning = server->start(static_cast<quint16>(settings::port(config)));
}

void MainWindow::restartServer()
{
    server->stop();
    startServerFromConfig();
    updateServerState();
    refreshPhonePage();
}

void MainWindow::onToggleServer()
{
    if (serverRunning) {
        server->stop();
        serverRunning = false;
        appendLog(QStringLiteral("[同步服务] 已停止"));
    } else {
        startServerFromConfig();
    }
    updateServerState();
    refreshPhonePage();
}

void MainWindow::onCopyKey()
{
    const QString key = keyEdit ? keyEdit->text() : settings::storedKey(config);
    QGuiApplication::clipboard()->setText(key);
    QMessageBox::information(this, QStringLiteral("已复制"), QStringLiteral("密钥已复制：") + key);
}

void MainWindow::onSaveSettings()
{
    const int port = settings::portFromText(portEdit->text());
    if (port == 0) {
        QMessageBox::warning(this, QStringLiteral("端口不对"), QStringLiteral("端口要在 1 - 65535 之间"));
        return;
    }

    const QString key = keyEdit->text().trimmed();
    if (settings::keyTooShort(key)) {
        QMessageBox::warning(this, QStringLiteral("密钥太短"),
                             QStringLiteral("同步密钥至少 4 位（留空表示不校验，不安全）"));
        return;
    }

    const int previousPort = settings::port(config);
    settings::save(config, key, nameEdit->text().trimmed(), port, publicHostEdit->text().trimmed());
    const bool written = settings::write(configPath(), config);

    server->setKey(key);
    server->setDeviceName(settings::deviceName(config));
    if (port != previousPort) {
        server->stop();
        startServerFromConfig();
    }
    updateServerState();
    refreshPhonePage();
    refreshStatusCard();

    if (!written) {
        // The settings are in force, but a silent failure here would lose them at the next start.
        QMessageBox::warning(this, QStringLiteral("配置文件写入失败"),
                             QStringLiteral("设置已在本次运行中生效，但没能写入配置文件：\n%1\n\n"
                                            "请检查程序文件夹是否可写，否则下次启动会恢复成原来的设置。")
                                 .arg(configPath()));
        return;
    }
    if (!serverRunning && !server->startError().isEmpty()) {
        // Saved, but no phone can reach the service: saying "in force" here would hide that.
        QMessageBox::warning(this, QStringLiteral("已保存，但同步服务没有运行"),
                             QStringLiteral("设置已保存。\n\n同步服务没能在端口 %1 启动：%2\n\n"
                                            "请换一个端口再保存，或在下面点「启动同步服务」重试。")
                                 .arg(port)
                                 .arg(server->startError()));
        return;
    }
    QMessageBox::information(
        this, QStringLiteral("已保存"),
        QStringLiteral("设置已保存并立即生效。\n\n手机 App 里的同步密钥要改成一样的（重新扫二维码最省事）。"));
}

void MainWindow::onAutoPublicIp()
{
    settings::setPublicHost(config, QString());
    if (publicHostEdit)
        publicHostEdit->clear();
    fetchPublicIP();
    QMessageBox::information(this, QStringLiteral("正在获取"),
                             QStringLiteral("正在查询公网 IP，稍等几秒。\n\n查到后会自动填进输入框，并出现在「手机连接」页的外网二维码上。"));
}
