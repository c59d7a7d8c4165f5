#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QWidget>

class ActionDelegate;
class DataTableModel;
class RowTable;
class QComboBox;
class QLabel;
class QLineEdit;
class QModelIndex;
class QTableView;
class QTimer;
struct TableInfo;

// The operator's view of the database: a table chooser, a search field and the chosen table's live rows
// with readable values, categories and locations as folding trees. Adding, editing, deleting and
// exporting are asked of the window through signals; the page tells which table and row they are for.
class DataPage : public QWidget
{
    Q_OBJECT

public:
    explicit DataPage(QWidget *parent = nullptr);

    // Reads the chosen table again. keepPlace keeps the selected row and the scroll position, for a
    // refresh of the same view.
    void refresh(bool keepPlace = false);
    // The data changed under the page, from a phone: it is refreshed in place shortly, once for a burst
    // of such changes, and only while it is shown; the window refreshes it when it is shown again.
    void refreshLater();

    const TableInfo *currentTable() const;
    QString currentTableKey() const;
    bool isShowingTree() const;
    // The Record id of the current row, or an empty text.
    QString currentRowId() const;
    // Every live row of the shown table as last read, unfiltered.
    const RowTable &rows() const;
    // Children of a shown parent among the rows that passed the search.
    int childCount(const QString &id) const;

    QComboBox *tableChooser() const { return tableCombo; }
    QLineEdit *searchField() const { return searchEdit; }
    QTableView *view() const { return table; }
    DataTableModel *model() const { return rowsModel; }
    QLabel *countLine() const { return countLabel; }
    ActionDelegate *actions() const { return actionDelegate; }

Q_SIGNALS:
    void addRequested();
    void editRequested();
    void deleteRequested();
    void exportRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private Q_SLOTS:
    void onTableChanged(int index);
    void onSearchChanged(const QString &text);

private:
    // The refresh after a phone's push, while the page is shown.
    void refreshInTwoTurns();
    // Lays the view out for the rows the model now holds, putting the kept row and scroll back.
    void showRows(const QString &keptId, int keptScroll);
    void showCount();
    // Caps the columns at the widths their contents asked for at the last refresh, narrowing the
    // ones before the actions together where the table is too narrow for them.
    void fitColumns();
    void onClicked(const QModelIndex &index);
    void onDoubleClicked(const QModelIndex &index);
    // Selects the row and asks for the action, once the click that asked for it is over.
    void runOnRow(int row, void (DataPage::*request)());

    QComboBox *tableCombo = nullptr;
    QLineEdit *searchEdit = nullptr;
    QTableView *table = nullptr;
    DataTableModel *rowsModel = nullptr;
    ActionDelegate *actionDelegate = nullptr;
    QLabel *countLabel = nullptr;
    QList<int> columnWidths;
    QTimer *pendingRefresh = nullptr;
    // Counts refreshes, so that a later one supersedes the second half of an earlier one.
    quint64 refreshes = 0;
    QElapsedTimer pendingSince;
    // The parent whose name was last clicked, and when: tells the second click of a double click.
    QString lastToggledId;
    QElapsedTimer lastToggleClock;
};
