#pragma once

#include <QString>

#include <initializer_list>

class QLabel;
class QLineEdit;
class QWidget;

// What screen readers are told beyond Qt's own interfaces.

// A label with a keyboard-reachable link is presented as that link: the role
// Link, the link's words as its name, the whole sentence as its description,
// and a press action that activates it. Installed once per process.
void installLinkAccessibility();

// Tab (or Shift+Tab) onto the label focuses its link at once, so that the
// label is one stop of the Tab order and Return activates the link; by
// itself a label takes the focus first and the link only at the next Tab.
void focusLinkOnTab(QLabel* label);

// A read-only field whose text screen readers take whole: Qt 6.4 gives a
// read-only line edit empty attribute runs, and Orca then drops the last
// character of the line. Copying, focus and look stay the line edit's own.
void presentReadOnlyField(QLineEdit* field);

// A sentence that runs over several link labels: each link carries the whole
// sentence as its description, not its own label's part of it.
void describeSentence(std::initializer_list<QLabel*> labels);

// Tells screen readers what happened although the focus is elsewhere (a card
// read, removed or not readable): a notification with message as its name,
// which AT-SPI readers (Orca) speak when it shows. source places it. Qt 6.4's
// UI Automation bridge on Windows passes no such event on.
void announce(QWidget* source, const QString& message);
// The same with the label's own text.
void announce(QLabel* source);
// The notice last shown for source, null when none. Without an active
// reader (the tests) no event goes out, so this is where to look.
class QAccessibleInterface;
QAccessibleInterface* shownNotice(QWidget* source);
