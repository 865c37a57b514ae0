#pragma once

#include <QObject>

#include <functional>
#include <vector>

class QWidget;

// While a card access waits for another program to let go of the card, the
// window goes on painting and answering the system (a window silent for 5 s
// is "not responding" to Windows), but the access must stay the only card
// operation: what the user does meanwhile is refused, and the monitor's
// reports, which start or end card operations, are held until the wait is
// over. Closing the window is held as well, and happens once the wait ends.
class CardWaitGate : public QObject
{
public:
    explicit CardWaitGate(QWidget* window);
    ~CardWaitGate() override;
    CardWaitGate(const CardWaitGate&) = delete;
    CardWaitGate& operator=(const CardWaitGate&) = delete;

    // A card access is waiting: nothing may start another one.
    bool closed() const { return depth > 0; }
    // Runs call once the wait is over (queued, in the order of the calls).
    void hold(std::function<void()> call);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // One pause of the card layer's wait, spent in an event loop of its own.
    static void pauseInEventLoop(unsigned long ms);
    void pause(unsigned long ms);
    void release();

    QWidget* window;
    int depth = 0;
    bool closeHeld = false;
    std::vector<std::function<void()>> held;
};
