#pragma once

#include <QPersistentModelIndex>
#include <QStyledItemDelegate>

class QPushButton;
class QTableView;

// Draws the action cell of the data table, an edit and a delete button, and turns clicks on them
// into signals. Drawing them spares the table a pair of widgets on each of its many rows.
// A row whose first cell carries ParentRole is a parent: its buttons read "主级" and are disabled.
class ActionDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    static constexpr int ParentRole = Qt::UserRole + 1;

    explicit ActionDelegate(QTableView *view);

    // The table column the buttons are drawn in; -1 for none.
    void setColumn(int column);
    int column() const { return actionColumn; }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // The rectangle of button 0 (edit) or 1 (delete) inside a cell.
    QRect buttonRect(const QRect &cell, int button, bool parentRow) const;

Q_SIGNALS:
    void editClicked(int row);
    void deleteClicked(int row);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool isParentRow(const QModelIndex &index) const;
    QPushButton *templateFor(int button, bool parentRow) const;
    int buttonAt(const QPoint &pos, QModelIndex *index) const;
    void setHovered(const QModelIndex &index, int button);

    QTableView *view;

    // Kept apart from the view: events still reach the filter while the view is being torn down.

    QObject *viewportObject = nullptr;
    int actionColumn = -1;
    QPushButton *editTemplate;
    QPushButton *deleteTemplate;
    QPushButton *parentTemplate;
    QPersistentModelIndex hoveredIndex;
    int hoveredButton = -1;
    QPersistentModelIndex pressedIndex;
    int pressedButton = -1;
};
