#pragma once

class QLabel;

// What screen readers are told beyond Qt's own interfaces.

// A label with a keyboard-reachable link is presented as that link: the role
// Link, the link's words as its name, the whole sentence as its description,
// and a press action that activates it. Installed once per process.
void installLinkAccessibility();

// Tab (or Shift+Tab) onto the label focuses its link at once, so that the
// label is one stop of the Tab order and Return activates the link; by
// itself a label takes the focus first and the link only at the next Tab.
void focusLinkOnTab(QLabel* label);

// Tells screen readers what happened although the focus is elsewhere (the
// card title after a read or a removal): a notification, which AT-SPI readers
// (Orca) speak when it shows. Qt 6.4's UI Automation bridge on Windows passes
// no such event on; there the title's own name change is all a reader gets.
void announce(QLabel* source);
