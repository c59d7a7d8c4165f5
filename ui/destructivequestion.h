#pragma once

class QString;
class QWidget;

// Asks a Yes/No question whose Yes destroys or rewrites data. No is the default and the answer to
// Escape, so a reflexive Enter never destroys; Yes is painted as a danger button to set it apart.
bool askDestructiveQuestion(QWidget *parent, const QString &title, const QString &text);
