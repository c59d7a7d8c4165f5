#include "ui/settingspage.h"

#include "app/paths.h"
#include "app/settings.h"
#include "storage/diskspace.h"
#include "storage/storagefigures.h"

#include <QClipboard>
#include <QFormLayout>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

namespace {

// The application sheet paints every widget page-grey; labels on a white card must let the card show through.
const QString cardLabels = QStringLiteral("QLabel { background: transparent; }");

} // namespace

SettingsPage::SettingsPage(QWidget *parent)
    : QScrollArea(parent)
{
    // The two cards are taller than the smallest window: the page scrolls rather than cut them off.
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    auto *page = new QWidget(this);
    setWidget(page);
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

    auto *keyHint =
        new QLabel(QStringLiteral("手机 App 里要填一模一样的。改完点「保存」立刻生效，手机重新扫一下二维码最省事。"),
                   settingsCard);
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
        QStringLiteral(
            "留空时程序会自动获取你的公网 IP，并显示在「手机连接」页的外网二维码上。如果你有域名，可以直接填域名覆盖。"
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

    connect(newKeyButton, &QPushButton::clicked, this, &SettingsPage::onNewKey);
    connect(copyKeyButton, &QPushButton::clicked, this, &SettingsPage::onCopyKey);
    connect(autoHostButton, &QPushButton::clicked, this, &SettingsPage::onAutoPublicIp);
    connect(saveButton, &QPushButton::clicked, this, &SettingsPage::onSaveSettings);
    connect(restartButton, &QPushButton::clicked, this, &SettingsPage::restartRequested);
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
    connect(toggleButton, &QPushButton::clicked, this, &SettingsPage::onToggleServer);
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

    auto *storageCard = new QFrame(page);
    storageCard->setObjectName(QStringLiteral("card"));
    storageCard->setStyleSheet(cardLabels);
    auto *storageLayout = new QFormLayout(storageCard);
    storageLayout->setContentsMargins(22, 18, 22, 18);
    storageLayout->setSpacing(10);
    auto *storageTitle = new QLabel(QStringLiteral("存储空间"), storageCard);
    storageTitle->setObjectName(QStringLiteral("cardTitle"));
    storageLayout->addRow(storageTitle);
    storageText = new QLabel(storageCard);
    storageText->setWordWrap(true);
    storageText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    storageLayout->addRow(storageText);

    keepVersionsBox = new QSpinBox(storageCard);
    keepVersionsBox->setRange(settings::minKeepVersions, settings::maxKeepVersions);
    keepVersionsBox->setFixedWidth(120);
    storageLayout->addRow(QStringLiteral("保留版本数"), keepVersionsBox);
    keepBackupsBox = new QSpinBox(storageCard);
    keepBackupsBox->setRange(settings::minKeepBackups, settings::maxKeepBackups);
    keepBackupsBox->setFixedWidth(120);
    storageLayout->addRow(QStringLiteral("保留备份数"), keepBackupsBox);
    auto *keepHint =
        new QLabel(QStringLiteral("每个版本和每份备份都是整个数据库的一份拷贝。减少数量会立刻删除最早的那些；"
                                  "删除版本空出的空间留在数据库文件里，点「压缩数据库」才还给磁盘。"),
                   storageCard);
    keepHint->setObjectName(QStringLiteral("muted"));
    keepHint->setWordWrap(true);
    storageLayout->addRow(keepHint);

    auto *storageButtons = new QHBoxLayout;
    auto *retentionButton = new QPushButton(QStringLiteral("保存保留数量"), storageCard);
    auto *compactButton = new QPushButton(QStringLiteral("压缩数据库"), storageCard);
    compactButton->setObjectName(QStringLiteral("plain"));
    storageButtons->addWidget(retentionButton);
    storageButtons->addWidget(compactButton);
    storageButtons->addStretch();
    storageLayout->addRow(storageButtons);
    connect(retentionButton, &QPushButton::clicked, this,
            [this] { Q_EMIT retentionRequested(keepVersionsBox->value(), keepBackupsBox->value()); });
    connect(compactButton, &QPushButton::clicked, this, &SettingsPage::compactRequested);
    layout->addWidget(storageCard);

    layout->addStretch();
}

void SettingsPage::showSettings(const QJsonObject &config)
{
    keyEdit->setText(settings::storedKey(config));
    nameEdit->setText(settings::deviceName(config));
    portEdit->setText(QString::number(settings::port(config)));
    publicHostEdit->setText(settings::storedPublicHost(config));
    showRetention(config);
}

void SettingsPage::showRetention(const QJsonObject &config)
{
    keepVersionsBox->setValue(settings::keepVersions(config));
    keepBackupsBox->setValue(settings::keepBackups(config));
}

void SettingsPage::showStorage(const StorageFigures &figures)
{
    using diskspace::formatSize;
    QString text = QStringLiteral("数据库文件：%1（其中空闲 %2，压缩后可还给磁盘）\n历史版本：%3 个，约 %4\n"
                                  "每日备份：%5 份，共 %6\n磁盘剩余：%7")
                       .arg(formatSize(figures.databaseBytes), formatSize(figures.freeInsideBytes))
                       .arg(figures.versions)
                       .arg(formatSize(figures.versionBytes))
                       .arg(figures.backups)
                       .arg(formatSize(figures.backupBytes))
                       .arg(figures.available >= 0 ? formatSize(figures.available) : QStringLiteral("未知"));
    if (figures.total > 0)
        text += QStringLiteral("（共 %1）").arg(formatSize(figures.total));
    if (figures.warning())
        text += QStringLiteral("\n⚠ 磁盘剩余空间不多，只够再保存约 %1 次改动").arg(figures.changesThatFit());
    storageText->setText(text);
    storageText->setStyleSheet(figures.warning() ? QStringLiteral("QLabel { background: transparent; color: #E67E22; }")
                                                 : QString());
}

void SettingsPage::showKey(const QString &key)
{
    keyEdit->setText(key);
}

void SettingsPage::showPublicHost(const QString &host)
{
    publicHostEdit->setText(host);
}

void SettingsPage::showServiceRunning(bool running)
{
    toggleButton->setText(running ? QStringLiteral("停止同步服务") : QStringLiteral("启动同步服务"));
    toggleButton->setObjectName(running ? QStringLiteral("danger") : QStringLiteral("success"));
    toggleButton->style()->unpolish(toggleButton);
    toggleButton->style()->polish(toggleButton);
}

void SettingsPage::onCopyKey()
{
    const QString key = keyEdit->text();
    QGuiApplication::clipboard()->setText(key);
    QMessageBox::information(this, QStringLiteral("已复制"), QStringLiteral("密钥已复制：") + key);
}

void SettingsPage::onNewKey()
{
    Q_EMIT newKeyRequested();
}

void SettingsPage::onSaveSettings()
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
    Q_EMIT saveRequested(key, nameEdit->text().trimmed(), port, publicHostEdit->text().trimmed());
}

void SettingsPage::onToggleServer()
{
    Q_EMIT toggleRequested();
}

void SettingsPage::onAutoPublicIp()
{
    publicHostEdit->clear();
    Q_EMIT publicHostDetectionRequested();
    QMessageBox::information(
        this, QStringLiteral("正在获取"),
        QStringLiteral(
            "正在查询公网 IP，稍等几秒。\n\n查到后会自动填进输入框，并出现在「手机连接」页的外网二维码上。"));
}
