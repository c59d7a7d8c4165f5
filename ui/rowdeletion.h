#pragma once

class QString;
class QWidget;
struct TableInfo;

// Whether the operator's row may be deleted. A category or location that still has children, or that
// items still use, is refused with the reason; anything else is deleted only once the operator confirms.
// shownChildren is the count the data page shows for the row, named in the refusal.
bool confirmRowDeletion(QWidget *parent, const TableInfo &table, const QString &id, int shownChildren);
