#pragma once

#include <QWidget>

class QLabel;
class QTableWidget;
class StorageThread;

// The stored versions of the database, newest first: a version stored by hand, a rollback to a chosen
// one, and a restore from one of the daily backups.
class HistoryPage : public QWidget
{
    Q_OBJECT

public:
    explicit HistoryPage(QWidget *parent = nullptr);

    // Lists the versions again; the selection stays on the version it was on.
    void refresh();
    // The hint names how many versions are kept.
    void showKeptVersions(int kept);

    QTableWidget *versionList() const { return versionsTable; }
    // Versions and rollbacks go to this thread as jobs; without one they are written at once.
    void setStorage(StorageThread *writer) { storage = writer; }

Q_SIGNALS:
    // The database holds a chosen version's rows again: every page shows them anew.
    void rolledBack();
    // The operator chose a backup and confirmed that it replaces the database.
    void restoreRequested(const QString &file);

private Q_SLOTS:
    void onMakeSnapshot();
    void onRollback();
    void onCompare();

private:
    void onRestoreBackup();
    // The id of the selected version, or 0 after telling the operator to select one.
    int selectedVersion();

    // Shows that a job of the page runs, and its end.
    void setWorking(bool working);

    QTableWidget *versionsTable = nullptr;
    StorageThread *storage = nullptr;
    QLabel *hint = nullptr;
};
