#include "app/cardwaitgate.h"

#include "card/pcsc.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace {
CardWaitGate* current = nullptr;
} // namespace

CardWaitGate::CardWaitGate(QWidget* window) : window(window)
{
    current = this;
    CardBusyWait::setPause(&CardWaitGate::pauseInEventLoop);
}

CardWaitGate::~CardWaitGate()
{
    if (current == this) {
        current = nullptr;
        CardBusyWait::setPause(nullptr);
    }
}

void CardWaitGate::pauseInEventLoop(unsigned long ms)
{
    if (current)
        current->pause(ms);
}

void CardWaitGate::pause(unsigned long ms)
{
    if (depth++ == 0)
        qApp->installEventFilter(this);
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(ms), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    if (--depth == 0)
        release();
}

void CardWaitGate::hold(std::function<void()> call)
{
    held.push_back(std::move(call));
}

void CardWaitGate::release()
{
    qApp->removeEventFilter(this);
    // Queued: they run after the card access, when its operation has
    // returned to the event loop (or in the next pause, which holds them again).
    for (auto& call : held)
        QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
    held.clear();
    if (closeHeld) {
        closeHeld = false;
        QMetaObject::invokeMethod(window, &QWidget::close, Qt::QueuedConnection);
    }
}

bool CardWaitGate::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Close:
        if (watched == window || watched == window->windowHandle()) {
            event->ignore();
            closeHeld = true;
            return true;
        }
        return false;
    case QEvent::Shortcut:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
        return true;
    default:
        // Mouse, keyboard, wheel, touch, tablet and context-menu events.
        return event->isInputEvent();
    }
}
