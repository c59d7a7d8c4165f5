#include "ui/mainwindow.h"

#include "app/paths.h"
#include "app/settings.h"
#include "storage/database.h"
#include "sync/localaddress.h"
#include "sync/syncserver.h"
#include "ui/datapage.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSplashScreen>
#include <QStackedWidget>
#include <QStyle>
#include <QTableView>
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
    connect(activityRefresh, &QTimer::timeout, this, [this] {
        refreshSyncLog();
        refreshStatusCard();
    });
    connect(server, &SyncServer::activity, this, [this] {
        if (!activityRefresh->isActive())
            activityRefresh->start();
    });
    connect(server, &SyncServer::merging, this, &MainWindow::onMerging);

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
    connect(refreshTimer, &QTimer::timeout, this, [this] {
        refreshSyncLog();
        refreshStatusCard();
    });
    refreshTimer->start(15000);

    refreshAll();
    stack->setCurrentIndex(0);

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
    statusLabel->setStyleSheet(QStringLiteral("color:#95A5A6; padding:12px 18px; font-size:11px;"));
    sideLayout->addWidget(statusLabel);

    connect(nav, &QListWidget::currentRowChanged, this, &MainWindow::onNavChanged);

    stack = new QStackedWidget(central);
    dataPage = new DataPage(stack);
    connect(dataPage, &DataPage::addRequested, this, &MainWindow::onAddRow);
    connect(dataPage, &DataPage::editRequested, this, &MainWindow::onEditRow);
    connect(dataPage, &DataPage::deleteRequested, this, &MainWindow::onDeleteRow);
    connect(dataPage, &DataPage::exportRequested, this, &MainWindow::onExportCsv);
    stack->addWidget(dataPage);
    stack->addWidget(buildPhonePage());
    stack->addWidget(buildHistoryPage());
    stack->addWidget(buildSettingsPage());
    stack->addWidget(buildSyncLogPage());

    centralLayout->addWidget(sidebar, 0);
    centralLayout->addWidget(stack, 1);
    setCentralWidget(central);
}

void MainWindow::onNavChanged(int row)
{
    const int page = qMax(row, 0);
    stack->setCurrentIndex(page);
    if (page == 0)
        dataPage->refresh(true);
    else if (page == 1)
        refreshPhonePage();
    else if (page == 2)
        refreshVersions();
    else if (page == 4)
        refreshSyncLog();
}

void MainWindow::appendLog(const QString &text)
{
    logLine(QStringLiteral("[%1] %2").arg(clockText(), text));
}

void MainWindow::logLine(const QString &line)
{
    if (logView)
        logView->appendPlainText(line);
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
    return logView ? logView->toPlainText() : QString();
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
        if (stack->currentIndex() == 2)
            refreshVersions();
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
    if (toggleButton) {
        toggleButton->setText(serverRunning ? QStringLiteral("停止同步服务") : QStringLiteral("启动同步服务"));
        toggleButton->setObjectName(serverRunning ? QStringLiteral("danger") : QStringLiteral("success"));
        toggleButton->style()->unpolish(toggleButton);
        toggleButton->style()->polish(toggleButton);
    }
    if (statusLabel) {
        if (serverRunning) {
            setStatusText(statusLabel, QStringLiteral("● 服务运行中\n端口 %1").arg(settings::port(config)));
            statusLabel->setStyleSheet(QStringLiteral("color:#2ECC71; padding:12px 18px; font-size:11px;"));
        } else {
            setStatusText(statusLabel, QStringLiteral("○ 服务已停止"));
            statusLabel->setStyleSheet(QStringLiteral("color:#95A5A6; padding:12px 18px; font-size:11px;"));
        }
    }
}

void MainWindow::refreshStatusCard()
{
    const QJsonObject counts = Database::instance().counts();
    if (!statusLabel || !serverRunning)
        return;
    setStatusText(statusLabel, QStringLiteral("● 服务运行中\n端口 %1\n物品 %2 · 流水 %3")
                                   .arg(settings::port(config))
                                   .arg(counts.value(QStringLiteral("items")).toInt())
                                   .arg(counts.value(QStringLiteral("transactions")).toInt()));
}

void MainWindow::refreshAll()
{
    if (keyEdit) {
        keyEdit->setText(settings::storedKey(config));
        nameEdit->setText(settings::deviceName(config));
        portEdit->setText(QString::number(settings::port(config)));
        publicHostEdit->setText(settings::storedPublicHost(config));
    }
    updateServerState();
    dataPage->refresh(true);
    refreshStatusCard();
    refreshVersions();
    refreshSyncLog();
    refreshPhonePage();
}

bool MainWindow::selectedRow(const TableInfo **table, QString *id)
{
    if (!dataPage->view()->currentIndex().isValid()) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("请先选中一行"));
        return false;
    }
    *table = dataPage->currentTable();
    if (!*table)
        return false;
    *id = dataPage->currentRowId();
    if (id->isEmpty()) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("读不到这一行的 ID，请重新选一行再试"));
        return false;
    }
    return true;
}
