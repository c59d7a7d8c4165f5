#pragma once

#include <QWidget>

class QPlainTextEdit;
class QTableWidget;
class StorageThread;

// The newest records of the sync log above, the program log below; each cleared on its own.
class SyncLogPage : public QWidget
{
    Q_OBJECT

public:
    explicit SyncLogPage(QWidget *parent = nullptr);

    // Lists the newest sync-log records again.
    void refresh();
    // One finished line at the end of the program log.
    void appendLogLine(const QString &line);
    QString programLog() const;

    QTableWidget *records() const { return syncLogTable; }
    QPlainTextEdit *programLogView() const { return logView; }
    // Clearing goes to this thread as a job; without one it is written at once.
    void setStorage(StorageThread *writer) { storage = writer; }

Q_SIGNALS:
    // The operator asked for the newest records: the window refreshes them with the status card.
    void refreshRequested();
    // A line for the program log, without its time.
    void logMessage(const QString &text);
    // Rows were brought back from a version: every page shows them anew.
    void rowsRestored();

private:
    void onClearSyncRecords();
    // Opens the changes of the selected record's change, from the version stored just before it.
    void onCompare();

    QTableWidget *syncLogTable = nullptr;
    QPlainTextEdit *logView = nullptr;
    StorageThread *storage = nullptr;
};
