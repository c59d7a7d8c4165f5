#pragma once

#include <QHash>
#include <QSize>
#include <QString>
#include <QStyledItemDelegate>

// Draws the data page's text cells. A cell too narrow for its text shows the whole text as its tooltip.
// The size a text asks for is remembered: every refresh measures the rows sampled for the column widths
// again, and after a phone's push nearly all of them are the texts measured the time before.
class CellDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

private:
    // Sizes of texts in the view's own font; a cell with a font of its own is measured every time.
    mutable QHash<QString, QSize> sizes;
};
