#pragma once

// White-box access to the main window and the reader monitor for the tests.
// Only additions here: other test files rely on what is already declared.

#include "app/zentavo.h"
#include "monitor/monitorthread.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QThread>
#include <QTimer>

class ZentavoTestAccess
{
public:
    // Members.
    static QStringList& readers(Zentavo& w) { return w.readers; }
    static int& currentIndex(Zentavo& w) { return w.currentIndex; }
    static QString& selectedReader(Zentavo& w) { return w.selectedReader; }
    static SCARDCONTEXT& context(Zentavo& w) { return w.context; }
    static CardType& cardType(Zentavo& w) { return w.cardType; }
    static QString& cardNumber(Zentavo& w) { return w.cardNumber; }
    static MonitorThread& monitor(Zentavo& w) { return w.monitor; }
    static bool logVisible(const Zentavo& w) { return w.logVisible; }
    static CPrintCertificate& printer(Zentavo& w) { return w.printer; }

    // Private slots.
    // The card operations run on the card thread: these start one and return
    // once the window has shown its end (prompts and boxes answered).
    static bool waitIdle(Zentavo& w, int ms = 30000)
    {
        // Returns as soon as the end is shown (qWaitFor would sleep 10 ms
        // between looks); the tick only lets the deadline be seen.
        QElapsedTimer clock;
        clock.start();
        QTimer tick;
        tick.start(50);
        while (w.operationRunning() && clock.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return !w.operationRunning();
    }
    static void onHyperLink(Zentavo& w, const QString& link)
    {
        w.onHyperLink(link);
        waitIdle(w);
    }
    // Also an operation given up has let go of the card.
    static bool waitCardThreadIdle(Zentavo& w, int ms = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!w.cardThread.idle() && clock.elapsed() < ms)
            QThread::msleep(1);
        return w.cardThread.idle();
    }
    // Presses «Отменить» whenever the window shows that it waits for another
    // program, as long as the window lives.
    static void cancelCardWaits(Zentavo& w)
    {
        auto* timer = new QTimer(&w);
        QObject::connect(timer, &QTimer::timeout, &w, [&w] {
            auto* cancel = widget<QPushButton>(w, "bnCancelWait");
            if (cancel && !cancel->isHidden() && cancel->isVisibleTo(&w))
                cancel->click();
        });
        timer->start(20);
    }
    static QString readCertificate(Zentavo& w, int mode)
    {
        w.readCertificate(mode);
        waitIdle(w);
        return w.savedCertificatePath();
    }
    static void statusChanged(Zentavo& w, ulong status)
    {
        w.statusChanged(status);
        waitIdle(w);
    }
    static void errorDetected(Zentavo& w) { w.errorDetected(); }
    static void handleTrace(Zentavo& w, const QString& s) { w.handleTrace(s); }
    static void selectReaderToggle(Zentavo& w)
    {
        w.on_bnSelectReader_clicked();
        waitIdle(w);
    }
    static void copyToClipboard(Zentavo& w) { w.on_bnCopy2Clipboard_clicked(); }
    static void readCard(Zentavo& w)
    {
        w.on_bnReadCard_clicked();
        waitIdle(w);
    }
    static void printCertificateClicked(Zentavo& w)
    {
        w.on_readCertButton_clicked();
        waitIdle(w);
    }
    static void readersIndexChanged(Zentavo& w, int index) { w.on_cbReaders_currentIndexChanged(index); }

    // Form widgets by object name.
    template <typename T> static T* widget(Zentavo& w, const char* name)
    {
        return w.findChild<T*>(QString::fromLatin1(name));
    }
    static QComboBox* cbReaders(Zentavo& w) { return widget<QComboBox>(w, "cbReaders"); }
    static QPushButton* bnSelectReader(Zentavo& w) { return widget<QPushButton>(w, "bnSelectReader"); }
    static QPushButton* bnReadCard(Zentavo& w) { return widget<QPushButton>(w, "bnReadCard"); }
    static QPushButton* bnCopy2Clipboard(Zentavo& w) { return widget<QPushButton>(w, "bnCopy2Clipboard"); }
    static QPushButton* readCertButton(Zentavo& w) { return widget<QPushButton>(w, "readCertButton"); }
    static QLineEdit* edCardNumber(Zentavo& w) { return widget<QLineEdit>(w, "edCardNumber"); }
    static QLineEdit* edSKZINumber(Zentavo& w) { return widget<QLineEdit>(w, "edSKZINumber"); }
    static QLabel* lbCardTitle(Zentavo& w) { return widget<QLabel>(w, "lbCardTitle"); }
    static QLabel* lbTraceTitle(Zentavo& w) { return widget<QLabel>(w, "lbTraceTitle"); }
    static QLabel* lbRefreshReaderList(Zentavo& w) { return widget<QLabel>(w, "lbRefreshReaderList"); }
    static QLabel* lbShowCert(Zentavo& w) { return widget<QLabel>(w, "lbShowCert"); }
    static QLabel* lbVerifyPin(Zentavo& w) { return widget<QLabel>(w, "lbVerifyPin"); }
    static QLabel* lbUnblockPin(Zentavo& w) { return widget<QLabel>(w, "lbUnblockPin"); }
    static QPlainTextEdit* edLog(Zentavo& w) { return widget<QPlainTextEdit>(w, "edLog"); }

    // The log, one entry per paragraph.
    static QStringList logLines(Zentavo& w) { return edLog(w)->toPlainText().split(QLatin1Char('\n')); }
};

class MonitorTestAccess
{
public:
    static bool running(const MonitorThread& m) { return m.running; }
    static bool paused(const MonitorThread& m) { return m.paused; }
    static SCARDCONTEXT waitContext(const MonitorThread& m) { return m.waitContext; }
    static quint32 eventState(MonitorThread& m) { return m.eventState; }
    static void watchOnce(MonitorThread& m) { m.watchOnce(); }
};
