#include "app/instancelock.h"
#include "app/paths.h"
#include "app/processend.h"
#include "app/programcore.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Qt's own texts (standard buttons, file dialogs, socket errors) in Chinese: from Qt's translations
// folder, or from the "translations" folder that windeployqt puts beside the executable.
void loadQtTranslation(QCoreApplication &app)
{
    auto *translator = new QTranslator(&app);
    const QStringList folders{QLibraryInfo::path(QLibraryInfo::TranslationsPath),
                              QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("translations"))};
    for (const QString &folder : folders) {
        if (translator->load(QStringLiteral("qtbase_zh_CN"), folder)) {
            QCoreApplication::installTranslator(translator);
            return;
        }
    }
    delete translator;
}

#ifdef Q_OS_WIN
// A console takes UTF-16 whatever its code page; a file or a pipe gets UTF-8, as on Linux.
bool writeToConsole(const QString &line)
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode))
        return false;
    const QString text = line + QStringLiteral("\r\n");
    DWORD written = 0;
    return WriteConsoleW(out, reinterpret_cast<const wchar_t *>(text.utf16()), DWORD(text.size()), &written, nullptr);
}

// The program is built for the window, so Windows gives it no console: started from cmd.exe with
// --headless, it joins the console it was started from, so as to hear Ctrl+C, Ctrl+Break and the
// console closing, and writes there unless its output already goes to a file or a pipe.
void attachToParentConsole()
{
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN)
        return;
    const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE)
        return;
    SetStdHandle(STD_OUTPUT_HANDLE, console);
    SetStdHandle(STD_ERROR_HANDLE, console);
}
#endif

void printLine(const QString &line)
{
#ifdef Q_OS_WIN
    if (writeToConsole(line))
        return;
#endif
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

bool withoutDisplay()
{
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

// Without a display nobody can read or close a message box, and one shown at start-up would hold the
// program before its service starts: its words go to standard output and it closes as on Escape.
class BoxPrinter : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched)) {
                printLine(QStringLiteral("【%1】%2").arg(box->windowTitle(), box->text()));
                QTimer::singleShot(0, box, &QMessageBox::reject);
            }
        }
        return false;
    }
};

void printBoxesWithoutDisplay(QApplication &app)
{
    if (withoutDisplay())
        app.installEventFilter(new BoxPrinter(&app));
}

// Where nobody sees a window: what a phone needs and every log line go to standard output.
void echoToStandardOutput(ProgramCore &core)
{
    printLine(core.phoneConnectionText());
    for (const QString &line : core.programLog())
        printLine(line);
    QObject::connect(&core, &ProgramCore::logged, &core, &printLine);
}

#ifdef Q_OS_WIN
QWidget *windowToClose = nullptr;
HANDLE closedCleanly = nullptr;

// Windows calls this on a thread of its own.
BOOL WINAPI onConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    if (QCoreApplication *app = QCoreApplication::instance()) {
        if (windowToClose)
            QMetaObject::invokeMethod(windowToClose, "close", Qt::QueuedConnection);
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    }
    // A closing console ends the process as soon as this returns, and Windows waits about five seconds
    // for it: the running job and the database's closing get that long.
    if (type == CTRL_CLOSE_EVENT && closedCleanly)
        WaitForSingleObject(closedCleanly, 4500);
    return TRUE;
}

// Caught from the very start, as on Linux: Ctrl+C during the start-up backup waits until the program can
// close instead of ending the process half-way.
void catchTerminationSignals()
{
    closedCleanly = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void closeOnTerminationSignals(QWidget *window)
{
    windowToClose = window;
}

// The program has closed its database: a closing console may end the process now.
void markClosedCleanly()
{
    if (closedCleanly)
        SetEvent(closedCleanly);
}
#else
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    // Nothing but write() is safe in a signal handler; the event loop reads the byte.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// Caught from the very start: a signal during the start-up backup waits in the pipe until the window
// can be closed, rather than ending the process half-way.
void catchTerminationSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Ctrl+C and SIGTERM close the window as the operator would, or end a run without one, so the service
// stops and the database is closed cleanly instead of the process simply ending.
void closeOnTerminationSignals(QWidget *window)
{
    if (signalPipe[0] < 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(), [window, notifier] {
        char byte = 0;
        [[maybe_unused]] const ssize_t read = ::read(signalPipe[0], &byte, 1);
        notifier->setEnabled(false);
        if (window)
            window->close();
        // An open message box would keep the program alive past the closed window.
        QCoreApplication::quit();
    });
}

// A signal's handler returns at once; nothing waits for the closing.
void markClosedCleanly()
{
}
#endif

void nameTheApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("Tovanik"));
    QCoreApplication::setOrganizationName(QStringLiteral("plindor"));
}

// The core alone, on a QCoreApplication: no widgets at all, everything said on standard output.
int runHeadless(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    attachToParentConsole();
#endif
    QCoreApplication app(argc, argv);
    nameTheApplication();
    loadQtTranslation(app);
    catchTerminationSignals();

    InstanceLock lock(lockFilePath());
    if (!lock.tryLock()) {
        printLine(QStringLiteral("【程序已在运行】%1").arg(lock.holderText()));
        return 1;
    }
    ProgramCore core;
    QObject::connect(&core, &ProgramCore::startupFault, &core, [](const QString &title, const QString &text) {
        printLine(QStringLiteral("【%1】%2").arg(title, text));
    });
    QObject::connect(&core, &ProgramCore::logged, &core, &printLine);
    QObject::connect(&core, &ProgramCore::backupStarting, &core,
                     [&core] { core.log(QStringLiteral("正在备份数据库…")); });
    core.start();
    printLine(core.phoneConnectionText());
    closeOnTerminationSignals(nullptr);
    const int exitCode = app.exec();
    if (core.isBusy())
        printLine(QStringLiteral("正在完成未完成的保存…"));
    core.shutDown();
    return exitCode;
}

int runWithWindow(int argc, char *argv[])
{
    QApplication app(argc, argv);
    nameTheApplication();
    QApplication::setFont(QFont(QStringLiteral("Microsoft YaHei UI"), 9));
    loadQtTranslation(app);
    printBoxesWithoutDisplay(app);
    catchTerminationSignals();

    InstanceLock lock(lockFilePath());
    if (!lock.claim())
        return 1;

    ProgramCore core;
    MainWindow window(&core);
    if (withoutDisplay())
        echoToStandardOutput(core);
    closeOnTerminationSignals(&window);
    window.show();
    return app.exec();
}

bool headlessAsked(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--headless") == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    const int exitCode = headlessAsked(argc, argv) ? runHeadless(argc, argv) : runWithWindow(argc, argv);
    markClosedCleanly();
    return endProcess(exitCode);
}
