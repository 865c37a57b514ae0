#pragma once

#include <QApplication>
#include <QCursor>

// The wait cursor for the length of a scope. The override cursor is a stack,
// so nested scopes balance.
class OverrideWaitCursor
{
public:
    OverrideWaitCursor() { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~OverrideWaitCursor() { QApplication::restoreOverrideCursor(); }
    OverrideWaitCursor(const OverrideWaitCursor&) = delete;
    OverrideWaitCursor& operator=(const OverrideWaitCursor&) = delete;
};
