#include "ui/mainwindow.h"

#include "app/paths.h"
#include "app/settings.h"
#include "storage/database.h"
#include "sync/localaddress.h"
#include "sync/syncserver.h"
#include "ui/datapage.h"
#include "ui/historypage.h"
#include "ui/phonepage.h"
#include "ui/publicaddresslookup.h"
#include "ui/settingspage.h"
#include "ui/synclogpage.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressDialog>
#include <QSplashScreen>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// A database (with its write-ahead log) this large takes a noticeable moment to back up.
constexpr qint64 splashBackupBytes = 128 * 1024 * 1024;

const char *const appStyleSheet = R"(
QMainWindow, QWidget { background: #F5F6FA; font-family: "Microsoft YaHei UI","Microsoft YaHei",sans-serif; font-size: 13px; }
QListWidget#nav { background: #2C3E50; border: none; outline: none; padding-top: 8px; }
QListWidget#nav::item { color: #CFD8DC; padding: 14px 18px; border: none; }
QListWidget#nav::item:selected { background: #34495E; color: #FFFFFF; border-left: 3px solid #3498DB; }
QListWidget#nav::item:hover { background: #34495E; }
QLabel#appTitle { color: #FFFFFF; font-size: 16px; font-weight: bold; padding: 18px 18px 14px 18px; }
QFrame#card { background: #FFFFFF; border-radius: 10px; }
QLabel#cardTitle { font-size: 15px; font-weight: bold; color: #2C3E50; }
QLabel#muted { color: #5C6672; }
QLabel#mono { font-family: Consolas,"Courier New",monospace; color: #2980B9; font-size: 14px; }
QLineEdit, QComboBox, QSpinBox { background: #F5F6FA; border: 1px solid #E1E4E8; border-radius: 6px; padding: 7px 10px; color: #2C3E50; }
QLineEdit:focus, QComboBox:focus { border: 1px solid #3498DB; background: #FFFFFF; }
QPushButton { background: #3498DB; color: #FFFFFF; border: none; border-radius: 6px; padding: 8px 16px; font-size: 13px; }
QPushButton:hover { background: #2980B9; }
QPushButton:disabled { background: #BDC3C7; }
QPushButton#plain { background: #EDF1F5; color: #2C3E50; }
QPushButton#plain:hover { background: #DDE4EA; }
QPushButton#danger { background: #E74C3C; }
QPushButton#danger:hover { background: #C0392B; }
QPushButton#success { background: #27AE60; }
QPushButton#success:hover { background: #1E8449; }
QTableView { background: #FFFFFF; border: 1px solid #E1E4E8; border-radius: 8px; gridline-color: #EEF1F4; selection-background-color: #D6EAF8; selection-color: #2C3E50; }
QHeaderView::section { background: #F7F9FB; color: #5C6672; border: none; border-bottom: 1px solid #E1E4E8; padding: 9px 8px; font-weight: bold; }
QPlainTextEdit { background: #FFFFFF; border: 1px solid #E1E4E8; border-radius: 8px; font-family: Consolas,"Courier New",monospace; font-size: 12px; color: #4A5568; }
)";

QString clockText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
}

// The status card's text, with a last line while phones are turned away for want of a usable
// database; the reason itself is the card's tooltip.
void setStatusText(QLabel *label, const QString &text)
{
    const QString reason = Database::instance().unusableReason();
    label->setToolTip(reason);
    label->setText(reason.isEmpty() ? text : text + QStringLiteral("\n⚠ 数据库不可用，手机同步已暂停"));
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Tovanik · 电脑主库"));
    resize(1180, 760);

    server = new SyncServer(this);
    connect(server, &SyncServer::logMessage, this, &MainWindow::appendLog);
    // The phone is answered right after it says what it did; the pages follow on the next turn, once
    // for a burst of requests.
    activityRefresh = new QTimer(this);
    activityRefresh->setSingleShot(true);
    activityRefresh->setInterval(0);
    connect(activityRefresh, &QTimer::timeout, this, &MainWindow::refreshSyncLogAndStatus);
    connect(server, &SyncServer::activity, this, [this] {
        if (!activityRefresh->isActive())
            activityRefresh->start();
    });
    connect(server, &SyncServer::merging, this, &MainWindow::onMerging);
    publicAddress = new PublicAddressLookup(this);
    connect(publicAddress, &PublicAddressLookup::logLine, this, &MainWindow::logLine);
    connect(publicAddress, &PublicAddressLookup::found, this, &MainWindow::onPublicAddressFound);

    buildUi();
    loadConfig();

    QString error;
    if (Database::instance().open(databasePath(), &error)) {
        showBackupSplash();
        QStringList notes;
        const QString backup = Database::instance().dailyBackup(&notes);
        if (!backup.isEmpty() && QFile::exists(backup))
            appendLog(QStringLiteral("已自动备份数据库到: %1").arg(backup));
        for (const QString &note : notes)
            appendLog(note);
    } else {
        QMessageBox::critical(this, QStringLiteral("数据库打开失败"), error);
    }

    startServerFromConfig();
    updateServerState();

    refreshTimer = new QTimer(this);
    refreshTimer->setObjectName(QStringLiteral("refreshTimer"));
    connect(refreshTimer, &QTimer::timeout, this, &MainWindow::refreshSyncLogAndStatus);
    refreshTimer->start(15000);

    refreshAll();
    stack->setCurrentWidget(dataPage);

    QTimer::singleShot(800, this, &MainWindow::fetchPublicIP);
}

MainWindow::~MainWindow()
{
    if (server)
        server->stop();
    Database::instance().close();
}

void MainWindow::buildUi()
{
    qApp->setStyleSheet(QString::fromUtf8(appStyleSheet));

    auto *central = new QWidget(this);
    auto *centralLayout = new QHBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);

    auto *sidebar = new QWidget(central);
    sidebar->setFixedWidth(200);
    sidebar->setStyleSheet(QStringLiteral("background:#2C3E50;"));
    auto *sideLayout = new QVBoxLayout(sidebar);
    sideLayout->setContentsMargins(0, 0, 0, 0);
    sideLayout->setSpacing(0);

    auto *title = new QLabel(QStringLiteral("📦  Tovanik"), sidebar);
    title->setObjectName(QStringLiteral("appTitle"));
    sideLayout->addWidget(title);

    nav = new QListWidget(sidebar);
    nav->setObjectName(QStringLiteral("nav"));
    nav->addItems({QStringLiteral("  📊   数据管理"), QStringLiteral("  📱   手机连接"), QStringLiteral("  🕘   历史版本"),
                   QStringLiteral("  \u2699\uFE0F   设置"), QStringLiteral("  📋   同步日志")});
    sideLayout->addWidget(nav, 1);

    statusLabel = new QLabel(sidebar);
    statusLabel->setObjectName(QStringLiteral("statusCard"));
    statusLabel->setStyleSheet(QStringLiteral("color:#95A5A6; padding:12px 18px; font-size:11px;"));
    sideLayout->addWidget(statusLabel);

    connect(nav, &QListWidget::currentRowChanged, this, &MainWindow::onNavChanged);

    stack = new QStackedWidget(central);
    dataPage = new DataPage(stack);
    connect(dataPage, &DataPage::changeSaved, this, [this] {
        refreshStatusCard();
        syncLogPage->refresh();
    });
    phonePage = new PhonePage(stack);
    historyPage = new HistoryPage(stack);
    connect(historyPage, &HistoryPage::rolledBack, this, &MainWindow::refreshAll);
    connect(historyPage, &HistoryPage::restoreRequested, this, &MainWindow::restoreBackup);
    settingsPage = new SettingsPage(stack);
    connect(settingsPage, &SettingsPage::newKeyRequested, this, &MainWindow::newKey);
    connect(settingsPage, &SettingsPage::saveRequested, this, &MainWindow::saveSettings);
    connect(settingsPage, &SettingsPage::restartRequested, this, &MainWindow::restartServer);
    connect(settingsPage, &SettingsPage::toggleRequested, this, &MainWindow::toggleServer);
    connect(settingsPage, &SettingsPage::publicHostDetectionRequested, this, &MainWindow::detectPublicHostAgain);
    syncLogPage = new SyncLogPage(stack);
    connect(syncLogPage, &SyncLogPage::refreshRequested, this, &MainWindow::refreshSyncLogAndStatus);
    connect(syncLogPage, &SyncLogPage::logMessage, this, &MainWindow::appendLog);
    stack->addWidget(dataPage);
    stack->addWidget(phonePage);
    stack->addWidget(historyPage);
    stack->addWidget(settingsPage);
    stack->addWidget(syncLogPage);

    centralLayout->addWidget(sidebar, 0);
    centralLayout->addWidget(stack, 1);
    setCentralWidget(central);
}

void MainWindow::onNavChanged(int row)
{
    // No entry chosen shows the first page.
    switch (Page(qMax(row, 0))) {
    case Page::Data:
        stack->setCurrentWidget(dataPage);
        dataPage->refresh(true);
        break;
    case Page::Phone:
        stack->setCurrentWidget(phonePage);
        refreshPhonePage();
        break;
    case Page::History:
        stack->setCurrentWidget(historyPage);
        historyPage->refresh();
        break;
    case Page::Settings:
        stack->setCurrentWidget(settingsPage);
        break;
    case Page::SyncLog:
        stack->setCurrentWidget(syncLogPage);
        syncLogPage->refresh();
        break;
    }
}

void MainWindow::appendLog(const QString &text)
{
    logLine(QStringLiteral("[%1] %2").arg(clockText(), text));
}

void MainWindow::logLine(const QString &line)
{
    syncLogPage->appendLogLine(line);
    Q_EMIT logged(line);
}

QString MainWindow::phoneConnectionText() const
{
    const QString key = settings::key(config);
    const QString publicHost = settings::publicHost(config);
    QString text = QStringLiteral("手机连接：内网地址 %1，端口 %2，同步密钥 %3")
                       .arg(preferredLanAddress(), QString::number(settings::port(config)),
                            key.isEmpty() ? QStringLiteral("（未设置）") : key);
    if (!publicHost.isEmpty())
        text += QStringLiteral("，外网地址 %1").arg(publicHost);
    if (!serverRunning)
        text += QStringLiteral("（同步服务未运行）");
    return text;
}

QString MainWindow::programLog() const
{
    return syncLogPage->programLog();
}

void MainWindow::onMerging(bool busy)
{
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        return;
    }
    QApplication::restoreOverrideCursor();
    // The phone is answered first; a page not shown is refreshed when it is shown.
    dataPage->refreshLater();
    QTimer::singleShot(0, this, [this] {
        if (stack->currentWidget() == historyPage)
            historyPage->refresh();
    });
}

void MainWindow::showBackupSplash()
{
    // A backup of a small database is over before a splash could be seen; a large one takes seconds
    // with nothing on the screen.
    const QFileInfo file(databasePath());
    const QFileInfo log(databasePath() + QStringLiteral("-wal"));
    if (!Database::instance().dailyBackupDue() || file.size() + log.size() < splashBackupBytes)
        return;
    QPixmap picture(420, 120);
    picture.fill(QColor(QStringLiteral("#2C3E50")));
    auto *splash = new QSplashScreen(picture);
    splash->setAttribute(Qt::WA_DeleteOnClose);
    splash->show();
    splash->showMessage(QStringLiteral("Tovanik · 电脑主库\n\n正在启动，正在备份数据库…"), Qt::AlignCenter, Qt::white);
    // It goes once the event loop runs, that is once the window is up.
    QTimer::singleShot(0, splash, &QWidget::close);
}

void MainWindow::updateServerState()
{
    settingsPage->showServiceRunning(serverRunning);
    if (serverRunning) {
        setStatusText(statusLabel, QStringLiteral("● 服务运行中\n端口 %1").arg(settings::port(config)));
        statusLabel->setStyleSheet(QStringLiteral("color:#2ECC71; padding:12px 18px; font-size:11px;"));
    } else {
        setStatusText(statusLabel, QStringLiteral("○ 服务已停止"));
        statusLabel->setStyleSheet(QStringLiteral("color:#95A5A6; padding:12px 18px; font-size:11px;"));
    }
}

void MainWindow::refreshStatusCard()
{
    const QJsonObject counts = Database::instance().counts();
    if (!serverRunning)
        return;
    setStatusText(statusLabel, QStringLiteral("● 服务运行中\n端口 %1\n物品 %2 · 流水 %3")
                                   .arg(settings::port(config))
                                   .arg(counts.value(QStringLiteral("items")).toInt())
                                   .arg(counts.value(QStringLiteral("transactions")).toInt()));
}

void MainWindow::refreshSyncLogAndStatus()
{
    syncLogPage->refresh();
    refreshStatusCard();
}

void MainWindow::refreshPhonePage()
{
    phonePage->refresh(config, serverRunning);
}

void MainWindow::refreshAll()
{
    settingsPage->showSettings(config);
    updateServerState();
    dataPage->refresh(true);
    refreshStatusCard();
    historyPage->refresh();
    syncLogPage->refresh();
    refreshPhonePage();
}

void MainWindow::loadConfig()
{
    config = settings::read(configPath());
    if (config.isEmpty()) {
        config = settings::firstRun();
        saveConfig();
    }
    if (settings::storedKey(config).isEmpty())
        newKey();

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

void MainWindow::newKey()
{
    const QString key = settings::newKey();
    settings::setKey(config, key);
    settingsPage->showKey(key);
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

void MainWindow::toggleServer()
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

void MainWindow::saveSettings(const QString &key, const QString &name, int port, const QString &publicHost)
{
    const int previousPort = settings::port(config);
    settings::save(config, key, name, port, publicHost);
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

void MainWindow::detectPublicHostAgain()
{
    settings::setPublicHost(config, QString());
    fetchPublicIP();
}

void MainWindow::fetchPublicIP()
{
    if (publicAddress->isBusy())
        return;
    if (!settings::publicHost(config).isEmpty())
        return;
    appendLog(QStringLiteral("正在自动获取公网 IP…"));
    publicAddress->start();
}

void MainWindow::onPublicAddressFound(const QString &address)
{
    // The operator may have typed an address and saved it while the lookup ran: theirs wins.
    const QString configured = settings::publicHost(config);
    if (configured.isEmpty()) {
        settings::setPublicHost(config, address);
        saveConfig();
        settingsPage->showPublicHost(address);
        refreshPhonePage();
        logLine(QStringLiteral("  ✓ 已获取公网 IP: %1").arg(address));
    } else {
        logLine(QStringLiteral("  ✓ 已获取公网 IP: %1（已手动设置公网地址 %2，不覆盖）").arg(address, configured));
    }
}

void MainWindow::restoreBackup(const QString &file)
{
    const QString name = QFileInfo(file).fileName();
    // Phones are told to come back later instead of writing into a database that is being replaced.
    server->setRefusal(QStringLiteral("主库正在从备份恢复，请稍后再试"));
    refreshTimer->stop();
    QProgressDialog progress(QStringLiteral("正在准备恢复…"), QString(), 0, 100, this);
    progress.setWindowTitle(QStringLiteral("从备份恢复"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setAutoReset(false);
    progress.setAutoClose(false);
    progress.setValue(0);
    QApplication::setOverrideCursor(Qt::WaitCursor);

    QString aside;
    QString error;
    const bool restored = Database::instance().restoreFrom(
        file, &aside, &error, [&progress](const QString &stage, qint64 done, qint64 total) {
            progress.setLabelText(stage);
            progress.setMaximum(total > 0 ? 100 : 0);
            progress.setValue(total > 0 ? int(done * 100 / total) : 0);
            // The check has no measure of its own: its bar only moves, and the window keeps answering.
            if (total <= 0)
                QApplication::processEvents();
        });

    QApplication::restoreOverrideCursor();
    progress.close();
    server->setRefusal(QString());
    refreshTimer->start();

    if (!restored) {
        appendLog(QStringLiteral("从备份 %1 恢复失败: %2").arg(name, error));
        refreshAll();
        QMessageBox::warning(this, QStringLiteral("恢复失败"), QStringLiteral("没有从备份 %1 恢复：\n%2").arg(name, error));
        return;
    }
    Database::instance().logSync(QStringLiteral("qt-ui"), QStringLiteral("恢复"), QStringLiteral("从备份 %1 恢复").arg(name));
    appendLog(QStringLiteral("已从备份 %1 恢复数据库，原数据库另存为 %2").arg(name, aside));
    refreshAll();
    QMessageBox::information(this, QStringLiteral("已恢复"),
                             QStringLiteral("已从备份 %1 恢复。\n\n原来的数据库另存为:\n%2").arg(name, aside));
}
