#include "ui/mainwindow.h"

#include "app/paths.h"
#include "app/programcore.h"
#include "app/settings.h"
#include "storage/database.h"
#include "storage/diskspace.h"
#include "storage/handoff.h"
#include "storage/readsession.h"
#include "sync/localaddress.h"
#include "sync/publicaddresslookup.h"
#include "sync/syncserver.h"
#include "ui/datapage.h"
#include "ui/historypage.h"
#include "ui/phonepage.h"
#include "ui/settingspage.h"
#include "ui/synclogpage.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QProgressDialog>
#include <QStackedWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <memory>
#include <utility>

namespace {

// Closing that takes longer than this says why the window is still there.
constexpr int finishingNoticeMs = 300;

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

// A long operation's progress, shown from its start and kept up until the caller closes it.
void showAtOnce(QProgressDialog &progress, const QString &title)
{
    progress.setWindowTitle(title);
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setAutoReset(false);
    progress.setAutoClose(false);
    progress.setValue(0);
}

// A storage job's progress dialog. Its setValue() turns the event loop while the dialog is modal: the
// job's end may arrive inside that call, and the dialog then goes once the call is over.
struct JobProgress
{
    QPointer<QProgressDialog> dialog;
    bool updating = false;
    bool over = false;

    void close()
    {
        over = true;
        if (!updating)
            delete dialog.data();
    }
};

ProgramCore::Progress progressIn(const std::shared_ptr<JobProgress> &shown)
{
    return [shown](const QString &stage, qint64 done, qint64 total) {
        if (!shown->dialog || shown->over)
            return;
        shown->updating = true;
        shown->dialog->setLabelText(stage);
        // A step without a measure of its own (the check) only moves the bar.
        shown->dialog->setMaximum(total > 0 ? 100 : 0);
        shown->dialog->setValue(total > 0 ? int(done * 100 / total) : 0);
        shown->updating = false;
        if (shown->over)
            delete shown->dialog.data();
    };
}

} // namespace

MainWindow::MainWindow(ProgramCore *programCore, QWidget *parent)
    : QMainWindow(parent)
    , core(programCore ? programCore : new ProgramCore(this))
{
    setWindowTitle(QStringLiteral("Tovanik · 电脑主库"));
    resize(1180, 760);

    SyncServer *server = core->syncServer();
    // The service tells of a request once its sync-log row is stored; the pages follow on the next turn,
    // once for a burst of requests.
    activityRefresh = new QTimer(this);
    activityRefresh->setSingleShot(true);
    activityRefresh->setInterval(0);
    connect(activityRefresh, &QTimer::timeout, this, &MainWindow::refreshSyncLogAndStatus);
    connect(server, &SyncServer::activity, this, [this] {
        if (!activityRefresh->isActive())
            activityRefresh->start();
    });
    connect(server, &SyncServer::merging, this, &MainWindow::onMerging);

    buildUi();
    for (const QString &line : core->programLog())
        syncLogPage->appendLogLine(line);
    connect(core, &ProgramCore::logged, syncLogPage, &SyncLogPage::appendLogLine);
    connect(core, &ProgramCore::startupFault, this,
            [this](const QString &title, const QString &text) { QMessageBox::critical(this, title, text); });
    connect(core, &ProgramCore::backupStarting, this, [this] {
        backingUp = true;
        refreshStatusCard();
    });
    connect(core, &ProgramCore::backupFinished, this, [this] {
        backingUp = false;
        refreshStatusCard();
    });
    connect(core, &ProgramCore::databaseReady, this, &MainWindow::refreshAll);
    connect(core, &ProgramCore::serviceChanged, this, &MainWindow::onServiceChanged);
    connect(core, &ProgramCore::publicHostFound, this, [this](const QString &address) {
        settingsPage->showPublicHost(address);
        refreshPhonePage();
    });
    connect(core, &ProgramCore::statusDue, this, &MainWindow::refreshSyncLogAndStatus);
    connect(core, &ProgramCore::storageChanged, this, &MainWindow::showStorage);
    connect(core, &ProgramCore::storageWarning, this, &MainWindow::warnOfDisk);
    if (!core->isStarted())
        core->start();
    showStorage();
    if (core->storageFigures().warning())
        warnOfDisk(QStringLiteral("磁盘剩余空间不多了：剩余 %1，只够再保存约 %2 次改动。")
                       .arg(diskspace::formatSize(core->storageFigures().available))
                       .arg(core->storageFigures().changesThatFit()));

    // Until the database is open, the pages have nothing to read: they are filled once it is.
    if (core->isDatabaseReady())
        refreshAll();
    else
        updateServerState();
    stack->setCurrentWidget(dataPage);
}

MainWindow::~MainWindow()
{
    if (counter) {
        counter->wait();
        delete counter;
    }
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

    storageLabel = new QLabel(sidebar);
    storageLabel->setObjectName(QStringLiteral("storageLine"));
    sideLayout->addWidget(storageLabel);

    connect(nav, &QListWidget::currentRowChanged, this, &MainWindow::onNavChanged);

    stack = new QStackedWidget(central);
    dataPage = new DataPage(stack);
    dataPage->setStorage(core->storage());
    dataPage->setPhonesWaiting([server = core->syncServer()] { return server->hasAnswersOutstanding(); });
    connect(dataPage, &DataPage::changeSaved, this, [this] {
        refreshStatusCard();
        syncLogPage->refresh();
        core->refreshStorage();
    });
    phonePage = new PhonePage(stack);
    historyPage = new HistoryPage(stack);
    historyPage->setStorage(core->storage());
    connect(historyPage, &HistoryPage::rolledBack, this, &MainWindow::refreshAll);
    connect(historyPage, &HistoryPage::restoreRequested, this, &MainWindow::restoreBackup);
    settingsPage = new SettingsPage(stack);
    connect(settingsPage, &SettingsPage::newKeyRequested, this, &MainWindow::newKey);
    connect(settingsPage, &SettingsPage::saveRequested, this, &MainWindow::saveSettings);
    connect(settingsPage, &SettingsPage::restartRequested, core, &ProgramCore::restartService);
    connect(settingsPage, &SettingsPage::toggleRequested, core, &ProgramCore::toggleService);
    connect(settingsPage, &SettingsPage::publicHostDetectionRequested, core, &ProgramCore::detectPublicHostAgain);
    connect(settingsPage, &SettingsPage::retentionRequested, this, &MainWindow::changeRetention);
    connect(settingsPage, &SettingsPage::compactRequested, this, &MainWindow::compactDatabase);
    syncLogPage = new SyncLogPage(stack);
    syncLogPage->setStorage(core->storage());
    connect(syncLogPage, &SyncLogPage::refreshRequested, this, &MainWindow::refreshSyncLogAndStatus);
    connect(syncLogPage, &SyncLogPage::logMessage, core, &ProgramCore::log);
    connect(syncLogPage, &SyncLogPage::rowsRestored, this, &MainWindow::refreshAll);
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

void MainWindow::fetchPublicIP()
{
    core->fetchPublicAddress();
}

QString MainWindow::programLog() const
{
    return syncLogPage->programLog();
}

const QJsonObject &MainWindow::currentSettings() const
{
    return core->settings();
}

bool MainWindow::isServiceRunning() const
{
    return core->isServiceRunning();
}

void MainWindow::onMerging(bool busy)
{
    // A phone's push is nothing the operator waits for: the pages follow once it is merged and answered,
    // a page not shown when it is shown.
    if (busy)
        return;
    dataPage->refreshLater();
    QTimer::singleShot(0, this, [this] {
        if (stack->currentWidget() == historyPage)
            historyPage->refresh();
    });
}

void MainWindow::updateServerState()
{
    const bool serverRunning = core->isServiceRunning();
    settingsPage->showServiceRunning(serverRunning);
    if (serverRunning) {
        setStatusText(QStringLiteral("● 服务运行中\n端口 %1").arg(settings::port(core->settings())));
        statusLabel->setStyleSheet(QStringLiteral("color:#2ECC71; padding:12px 18px; font-size:11px;"));
    } else {
        setStatusText(QStringLiteral("○ 服务已停止"));
        statusLabel->setStyleSheet(QStringLiteral("color:#95A5A6; padding:12px 18px; font-size:11px;"));
    }
}

// The status card's text, with a last line while the database is opened or backed up at start, or while
// phones are turned away for want of a usable database; the reason itself is the card's tooltip.
void MainWindow::setStatusText(const QString &text)
{
    const QString reason = core->isDatabaseReady() ? Database::instance().unusableReason() : QString();
    statusLabel->setToolTip(reason);
    QString shown = text;
    if (!core->isDatabaseReady())
        shown += QStringLiteral("\n正在打开数据库…");
    else if (!reason.isEmpty())
        shown += QStringLiteral("\n⚠ 数据库不可用，手机同步已暂停");
    else if (backingUp)
        shown += QStringLiteral("\n正在备份数据库…");
    statusLabel->setText(shown);
}

void MainWindow::refreshStatusCard()
{
    if (!core->isServiceRunning()) {
        updateServerState();
        return;
    }
    // Counting a large store reads many of its pages: that is done on a thread of its own, one count at
    // a time, and a count asked for meanwhile follows the one under way.
    if (counter) {
        countAgain = true;
        return;
    }
    struct Counted
    {
        QJsonObject counts;
        QString error;
    };
    auto counted = std::make_shared<Counted>();
    counter = QThread::create([file = Database::instance().fileName(), counted] {
        const ReadSession session(file);
        if (session.isOpen())
            counted->counts = Database::instance().counts(&counted->error);
        else
            counted->error = session.error();
        handoff::release(counted.get());
    });
    connect(counter, &QThread::finished, this, [this, counted] {
        handoff::acquire(counted.get());
        handoff::deleteEnded(std::exchange(counter, nullptr));
        // A count that could not be read leaves the last one shown.
        if (core->isServiceRunning() && counted->error.isEmpty())
            setStatusText(QStringLiteral("● 服务运行中\n端口 %1\n物品 %2 · 流水 %3")
                              .arg(settings::port(core->settings()))
                              .arg(counted->counts.value(QStringLiteral("items")).toInt())
                              .arg(counted->counts.value(QStringLiteral("transactions")).toInt()));
        if (std::exchange(countAgain, false))
            refreshStatusCard();
    });
    counter->start();
}

void MainWindow::refreshSyncLogAndStatus()
{
    syncLogPage->refresh();
    refreshStatusCard();
}

void MainWindow::refreshPhonePage()
{
    phonePage->refresh(core->settings(), core->isServiceRunning());
}

void MainWindow::refreshAll()
{
    settingsPage->showSettings(core->settings());
    historyPage->showKeptVersions(settings::keepVersions(core->settings()));
    core->refreshStorage();
    updateServerState();
    dataPage->refreshInPlace();
    refreshStatusCard();
    historyPage->refresh();
    syncLogPage->refresh();
    refreshPhonePage();
}

void MainWindow::showStorage()
{
    const StorageFigures &figures = core->storageFigures();
    settingsPage->showStorage(figures);
    const QString free = figures.available >= 0 ? diskspace::formatSize(figures.available) : QStringLiteral("未知");
    storageLabel->setText(QStringLiteral("%1占用 %2 · 剩余 %3")
                              .arg(figures.warning() ? QStringLiteral("⚠ ") : QString(),
                                   diskspace::formatSize(figures.databaseBytes + figures.backupBytes), free));
    storageLabel->setToolTip(figures.summary());
    storageLabel->setStyleSheet(figures.warning()
                                    ? QStringLiteral("color:#E67E22; padding:0 18px 12px 18px; font-size:11px;")
                                    : QStringLiteral("color:#95A5A6; padding:0 18px 12px 18px; font-size:11px;"));
}

void MainWindow::warnOfDisk(const QString &text)
{
    if (diskWarnedOn == QDate::currentDate())
        return;
    diskWarnedOn = QDate::currentDate();
    // Not waited for: the warning comes while a push or a timer is being handled.
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("磁盘空间不多了"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void MainWindow::changeRetention(int keepVersions, int keepBackups)
{
    const Retention plan = core->retentionPlan(keepVersions, keepBackups);
    if (!plan.removesNothing()) {
        QStringList going;
        if (plan.versions > 0)
            going << QStringLiteral("最早的 %1 个历史版本（约 %2，空出的空间留在数据库文件里，压缩数据库后还给磁盘）")
                         .arg(plan.versions)
                         .arg(diskspace::formatSize(plan.versionBytes));
        if (plan.backups > 0)
            going << QStringLiteral("最早的 %1 份每日备份（释放 %2 磁盘空间）")
                         .arg(plan.backups)
                         .arg(diskspace::formatSize(plan.backupBytes));
        const auto answer = QMessageBox::question(
            this, QStringLiteral("确认删除"),
            QStringLiteral("保留 %1 个版本、%2 份备份，会立刻删除：\n\n%3\n\n删除后无法找回。确定吗？")
                .arg(keepVersions)
                .arg(keepBackups)
                .arg(going.join(QStringLiteral("\n"))),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            settingsPage->showRetention(core->settings());
            return;
        }
    }
    settingsPage->setCursor(Qt::BusyCursor);
    core->setRetention(keepVersions, keepBackups, [this, keepVersions, keepBackups](const Retention &done) {
        settingsPage->unsetCursor();
        settingsPage->showRetention(core->settings());
        historyPage->showKeptVersions(settings::keepVersions(core->settings()));
        historyPage->refresh();
        if (!done.error.isEmpty()) {
            QMessageBox::warning(this, QStringLiteral("删除失败"),
                                 QStringLiteral("保留数量已保存，但删除旧版本失败：\n%1").arg(done.error));
            return;
        }
        QMessageBox::information(this, QStringLiteral("已保存"),
                                 QStringLiteral("保留 %1 个版本、%2 份备份。已删除 %3 个版本、%4 份备份。")
                                     .arg(keepVersions)
                                     .arg(keepBackups)
                                     .arg(done.versions)
                                     .arg(done.backups));
    });
}

void MainWindow::compactDatabase()
{
    core->refreshStorage();
    const StorageFigures &figures = core->storageFigures();
    const QString shortage = diskspace::shortage(figures.liveBytes, {figures.available, figures.total});
    if (!shortage.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("无法压缩数据库"),
                             shortage
                                 + QStringLiteral("\n\n压缩时要先在旁边写一份压缩后的数据库。请先清理磁盘，"
                                                  "或减少保留的备份数。"));
        return;
    }
    const auto answer = QMessageBox::question(
        this, QStringLiteral("压缩数据库"),
        QStringLiteral("压缩会把数据库重写成实际用到的大小：需要约 %1 的临时空间，可释放约 %2。\n\n"
                       "压缩期间手机同步会暂停，请稍等。确定压缩吗？")
            .arg(diskspace::formatSize(figures.liveBytes),
                 diskspace::formatSize(qMax<qint64>(figures.databaseBytes - figures.liveBytes, 0))),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;

    auto *progress = new QProgressDialog(QStringLiteral("正在压缩数据库…"), QString(), 0, 100, this);
    showAtOnce(*progress, QStringLiteral("压缩数据库"));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto shown = std::make_shared<JobProgress>();
    shown->dialog = progress;
    core->compactDatabase(progressIn(shown), [this, shown](bool compacted, qint64 before, qint64 after,
                                                           const QString &error) {
        QApplication::restoreOverrideCursor();
        shown->close();
        refreshAll();
        if (!compacted) {
            QMessageBox::warning(this, QStringLiteral("压缩失败"), QStringLiteral("没有压缩数据库：\n%1").arg(error));
            return;
        }
        QMessageBox::information(this, QStringLiteral("已压缩"),
                                 QStringLiteral("数据库已从 %1 压缩到 %2。")
                                     .arg(diskspace::formatSize(before), diskspace::formatSize(after)));
    });
}

void MainWindow::newKey()
{
    settingsPage->showKey(core->newKey());
}

void MainWindow::onServiceChanged()
{
    updateServerState();
    refreshPhonePage();
}

void MainWindow::saveSettings(const QString &key, const QString &name, int port, const QString &publicHost)
{
    const ProgramCore::SaveResult saved = core->saveSettings(key, name, port, publicHost);
    refreshStatusCard();

    if (!saved.written) {
        // The settings are in force, but a silent failure here would lose them at the next start.
        QMessageBox::warning(this, QStringLiteral("配置文件写入失败"),
                             QStringLiteral("设置已在本次运行中生效，但没能写入配置文件：\n%1\n\n%2\n\n"
                                            "请检查程序文件夹是否可写，否则下次启动会恢复成原来的设置。")
                                 .arg(configPath(), saved.writeError));
        return;
    }
    if (!saved.startError.isEmpty()) {
        // Saved, but no phone can reach the service: saying "in force" here would hide that.
        QMessageBox::warning(this, QStringLiteral("已保存，但同步服务没有运行"),
                             QStringLiteral("设置已保存。\n\n同步服务没能在端口 %1 启动：%2\n\n"
                                            "请换一个端口再保存，或在下面点「启动同步服务」重试。")
                                 .arg(port)
                                 .arg(saved.startError));
        return;
    }
    QMessageBox::information(
        this, QStringLiteral("已保存"),
        QStringLiteral("设置已保存并立即生效。\n\n手机 App 里的同步密钥要改成一样的（重新扫二维码最省事）。"));
}

void MainWindow::restoreBackup(const QString &file)
{
    const QString name = QFileInfo(file).fileName();
    auto *progress = new QProgressDialog(QStringLiteral("正在准备恢复…"), QString(), 0, 100, this);
    showAtOnce(*progress, QStringLiteral("从备份恢复"));
    QApplication::setOverrideCursor(Qt::WaitCursor);

    const auto shown = std::make_shared<JobProgress>();
    shown->dialog = progress;
    core->restoreBackup(
        file, progressIn(shown), [this, shown, name](bool restored, const QString &aside, const QString &error) {
            QApplication::restoreOverrideCursor();
            shown->close();
            refreshAll();
            if (!restored) {
                QMessageBox::warning(this, QStringLiteral("恢复失败"),
                                     QStringLiteral("没有从备份 %1 恢复：\n%2").arg(name, error));
                return;
            }
            QMessageBox::information(this, QStringLiteral("已恢复"),
                                     QStringLiteral("已从备份 %1 恢复。\n\n原来的数据库另存为:\n%2").arg(name, aside));
        });
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A second request while the first one waits for the writes changes nothing.
    if (core->isShuttingDown() && !closeWaited) {
        event->ignore();
        return;
    }
    if (!closeWaited) {
        QDialog notice(this, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
        notice.setWindowTitle(QStringLiteral("Tovanik · 电脑主库"));
        auto *layout = new QVBoxLayout(&notice);
        layout->addWidget(new QLabel(QStringLiteral("正在完成未完成的保存…"), &notice));
        auto *bar = new QProgressBar(&notice);
        bar->setRange(0, 0);
        layout->addWidget(bar);
        QTimer noticeDelay;
        noticeDelay.setSingleShot(true);
        connect(&noticeDelay, &QTimer::timeout, &notice, &QWidget::show);
        if (core->isBusy())
            noticeDelay.start(finishingNoticeMs);
        core->shutDown();
        closeWaited = true;
    }
    QMainWindow::closeEvent(event);
}
