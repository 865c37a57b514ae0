#pragma once

// Shared by the card operation tests: a private pcscd with a simulated card,
// a main window pointed at its reader, and a script that answers the modal
// boxes the operations open.

#include "support/bench.h"
#include "support/zentavo_access.h"

#include "card/pcsc.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

// One modal widget as the script met it.
struct SeenModal
{
    QString kind; // "message", "input", "pin" or the class name
    QString title;
    QString text; // message box text, input box label
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool masked = false; // input box: password echo
    int cursor = -1;     // shape of the override cursor while it was shown, -1 for none
};

// Answers modal widgets in the order they appear, one step each. A modal
// widget with no step left is rejected and recorded, so an unexpected box
// shows up in seen() instead of hanging the test.
class ModalScript : public QObject
{
public:
    using Step = std::function<void(QWidget*)>;

    ModalScript()
    {
        timer.setInterval(15);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start();
    }
    void add(Step step) { steps.append(std::move(step)); }
    const QList<SeenModal>& seen() const { return seenModals; }
    bool allStepsUsed() const { return steps.isEmpty(); }
    QStringList kinds() const
    {
        QStringList out;
        for (const SeenModal& m : seenModals)
            out << m.kind;
        return out;
    }

    // Ready-made steps.
    static Step pin(const QString& pin, const QString& puk = QString())
    {
        return [pin, puk](QWidget* w) {
            if (!pin.isEmpty())
                w->findChild<QLineEdit*>(QStringLiteral("edPin"))->setText(pin);
            if (!puk.isEmpty())
                w->findChild<QLineEdit*>(QStringLiteral("edPuk"))->setText(puk);
            w->findChild<QPushButton*>(QStringLiteral("btOk"))->click();
        };
    }
    static Step cancelPin()
    {
        return [](QWidget* w) { w->findChild<QPushButton*>(QStringLiteral("btCancel"))->click(); };
    }
    static Step inputText(const QString& text)
    {
        return [text](QWidget* w) {
            auto* box = qobject_cast<QInputDialog*>(w);
            box->setTextValue(text);
            box->accept();
        };
    }
    static Step reject()
    {
        return [](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); };
    }
    static Step ok()
    {
        return [](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            box->button(QMessageBox::Ok)->click();
        };
    }

private:
    void poll()
    {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || w == current.data() || !w->isVisible())
            return;
        current = w;
        SeenModal seen;
        seen.title = w->windowTitle();
        if (const QCursor* cursor = QApplication::overrideCursor())
            seen.cursor = cursor->shape();
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            seen.kind = QStringLiteral("message");
            seen.text = box->text().trimmed();
            seen.icon = box->icon();
        } else if (auto* input = qobject_cast<QInputDialog*>(w)) {
            seen.kind = QStringLiteral("input");
            seen.text = input->labelText();
            seen.masked = input->textEchoMode() == QLineEdit::Password;
        } else if (QLatin1String(w->metaObject()->className()) == QLatin1String("QEnterPinPuk")) {
            seen.kind = QStringLiteral("pin");
        } else {
            seen.kind = QString::fromLatin1(w->metaObject()->className());
        }
        seenModals.append(seen);
        if (steps.isEmpty()) {
            if (auto* dialog = qobject_cast<QDialog*>(w))
                dialog->reject();
            else
                w->close();
            return;
        }
        steps.takeFirst()(w);
    }

    QTimer timer;
    QList<Step> steps;
    QList<SeenModal> seenModals;
    QPointer<QWidget> current;
};

// Collects everything written to Qt's debug output while it lives, and still
// passes it on.
class DebugCapture
{
public:
    DebugCapture()
    {
        sink() = QStringList();
        previous() = qInstallMessageHandler(&DebugCapture::handle);
    }
    ~DebugCapture() { qInstallMessageHandler(previous()); }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    QString text() const { return sink().join(QLatin1Char('\n')); }

private:
    static QStringList& sink()
    {
        static QStringList lines;
        return lines;
    }
    static QtMessageHandler& previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        sink().append(message);
        if (previous())
            previous()(type, context, message);
    }
};

// The bench, one card in reader 0 and a window that uses it. The window is
// not shown: its reader monitor stays idle, so the operations under test are
// the only ones that touch the card.
class TachoBench
{
public:
    PcscBench bench;
    std::unique_ptr<SimCard> card;
    std::unique_ptr<Zentavo> window;

    bool start()
    {
        if (!bench.start()) {
            qWarning("%s", qPrintable(bench.errorString()));
            return false;
        }
        return true;
    }

    bool startCard(const SimCard::Profile& profile, bool inserted = true)
    {
        window.reset();
        card.reset(new SimCard(&bench, 0));
        cardPulled = profile.removeAfter > 0 || profile.emptyAnswer || profile.mute;
        if (!card->start(profile, inserted)) {
            qWarning("%s\n%s", qPrintable(card->errorString()), card->output().constData());
            return false;
        }
        makeWindow(0);
        card->clearLog();
        return true;
    }

    // Ends a test: window and card go, and pcscd has seen the reader empty
    // before the next card arrives on the same port.
    void finish()
    {
        window.reset();
        card.reset();
        // pcscd 1.9.9 with vpcd does not power up the next card in a reader
        // whose card left in the middle of an exchange: start afresh.
        if (cardPulled) {
            cardPulled = false;
            if (!bench.restart())
                qWarning("%s", qPrintable(bench.errorString()));
            return;
        }
        if (!bench.waitCardPresent(0, false))
            qWarning("reader 0 still shows a card");
    }
    // Set by a test whose card leaves mid-exchange.
    bool cardPulled = false;

    void makeWindow(int readerIndex)
    {
        window.reset(new Zentavo);
        Zentavo& w = *window;
        ZentavoTestAccess::context(w) = establishContext();
        ZentavoTestAccess::readers(w) = QStringList{bench.readerName(0), bench.readerName(1)};
        ZentavoTestAccess::currentIndex(w) = readerIndex;
        // A card is present as far as the window knows, so the actions may show.
        ZentavoTestAccess::bnReadCard(w)->setEnabled(true);
        QGuiApplication::clipboard()->setText(QStringLiteral("clipboard before"));
    }

    Zentavo& w() { return *window; }

    // The log without the card layer's protocol, command, answer and
    // description lines.
    QStringList operationLines()
    {
        QStringList out;
        for (const QString& line : ZentavoTestAccess::logLines(w())) {
            if (line.isEmpty() || line.startsWith(QStringLiteral("Протокол: ")) ||
                line.startsWith(QStringLiteral("Команда:")) || line.startsWith(QStringLiteral("Результат: ")) ||
                line.startsWith(QStringLiteral("Описание:")))
                continue;
            out << line;
        }
        return out;
    }
    QString log() { return ZentavoTestAccess::edLog(w())->toPlainText(); }

    // The commands the card received, as hex for readable comparisons.
    QStringList commandsHex() const
    {
        QStringList out;
        for (const QByteArray& c : card->commands())
            out << QString::fromLatin1(c.toHex().toUpper());
        return out;
    }
    // Card resets seen since the last clearLog(), one per ended card access.
    int resets() const { return card->events().count(QStringLiteral("reset")); }
};

namespace Apdu {
inline const QString getData = QStringLiteral("00CA004512");
inline const QString selectTacho = QStringLiteral("00A4040C06FF544143484F");
inline const QString selectEf0501 = QStringLiteral("00A4020C020501");
inline const QString readType = QStringLiteral("00B0000001");
inline const QString selectEf0520 = QStringLiteral("00A4020C020520");
inline const QString readNumber = QStringLiteral("00B0000110");
inline const QString selectEf0002 = QStringLiteral("00A4020C020002");
inline const QString readIcc = QStringLiteral("00B0000019");
inline const QString selectEfC200 = QStringLiteral("00A4020C02C200");
inline const QString readCertHeader = QStringLiteral("00B0000004");
} // namespace Apdu
