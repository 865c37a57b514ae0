// libFuzzer target: arbitrary card behaviour (protocol, failing calls, every
// answer) fed to each card operation of the main window through the
// link-level PC/SC fake. The input layout is in cardscript.h.
//
// Besides the sanitizers' findings, a run fails when an operation leaves the
// wait cursor set, a connection or a transaction not ended exactly once, or
// shows a card number other than the one it copied.

#include "cardscript.h"
#include "fake/fakepcsc.h"
#include "support/zentavo_access.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

// Answers every modal box the operations open, at once: PIN 1234, PUK
// 12345678, OK. A box that is not answered would hang the run.
class ModalAnswerer : public QObject
{
protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto* dialog = qobject_cast<QDialog*>(watched); dialog && dialog->isModal())
                QTimer::singleShot(0, dialog, [d = QPointer<QDialog>(dialog)] { answer(d); });
        }
        return false;
    }

private:
    static void answer(QDialog* dialog)
    {
        if (!dialog || !dialog->isVisible())
            return;
        if (auto* input = qobject_cast<QInputDialog*>(dialog)) {
            input->setTextValue(QStringLiteral("1234"));
            input->accept();
            return;
        }
        if (auto* pin = dialog->findChild<QLineEdit*>(QStringLiteral("edPin"))) {
            pin->setText(QStringLiteral("1234"));
            if (auto* puk = dialog->findChild<QLineEdit*>(QStringLiteral("edPuk")))
                puk->setText(QStringLiteral("12345678"));
            if (auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("btOk")); ok && ok->isEnabled()) {
                ok->click();
                return;
            }
        }
        dialog->done(QDialog::Accepted);
    }
};

struct Harness
{
    QTemporaryDir temp;
    Zentavo* window = nullptr;
};

Harness* harness = nullptr;

// Qt's warnings (an offscreen window cannot size itself) would drown the
// fuzzer's output; ZENTAVO_FUZZ_TRACE=1 prints the log of each input instead.
void quietMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

[[noreturn]] void finding(const char* what)
{
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

// Every handle made is disconnected once, every transaction begun is ended
// once, whatever the card did.
void checkBalanced(const CardScript::Script& input)
{
    const QStringList& calls = FakePcsc::calls();
    const int connects = int(calls.filter(QRegularExpression(QStringLiteral("^SCardConnect "))).size());
    const int disconnects = int(calls.filter(QRegularExpression(QStringLiteral("^SCardDisconnect "))).size());
    const int begins = int(calls.filter(QRegularExpression(QStringLiteral("^SCardBeginTransaction$"))).size());
    const int ends = int(calls.filter(QRegularExpression(QStringLiteral("^SCardEndTransaction "))).size());

    const qsizetype consumed = input.connect.size() - FakePcsc::script().connect.size();
    int refused = 0;
    for (qsizetype i = 0; i < consumed; ++i)
        refused += input.connect.at(i) != SCARD_S_SUCCESS;
    if (disconnects != connects - refused)
        finding("a connection not disconnected exactly once");
    if (ends != (input.beginFails ? 0 : begins))
        finding("a transaction not ended exactly once");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false;qt.qpa.*=false");
    // Never destroyed: the window outlives every input, and a static
    // application would go before the Qt globals that the window still uses.
    auto* app = new QApplication(*argc, *argv);
    qInstallMessageHandler(quietMessages);
    harness = new Harness;
    // The certificate files land here, not in the shared temporary directory.
    qputenv("TMPDIR", QFile::encodeName(harness->temp.path()));
    std::atexit([] { harness->temp.remove(); });
    app->installEventFilter(new ModalAnswerer);
    harness->window = new Zentavo;
    ZentavoTestAccess::readers(*harness->window) = {QStringLiteral("Reader A")};
    ZentavoTestAccess::currentIndex(*harness->window) = 0;
    ZentavoTestAccess::selectedReader(*harness->window) = QStringLiteral("Reader A");
    ZentavoTestAccess::bnReadCard(*harness->window)->setEnabled(true);
    // A card that stays busy is waited for until the user gives up: the user
    // gives up as soon as the program says that it waits.
    ZentavoTestAccess::cancelCardWaits(*harness->window);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const CardScript::Script input = CardScript::parse(data, size);
    Zentavo& w = *harness->window;

    FakePcsc::reset();
    FakePcsc::Script& fake = FakePcsc::script();
    fake.connect = input.connect;
    if (input.beginFails)
        fake.begin = SCARD_E_SHARING_VIOLATION;
    if (input.endFails)
        fake.end = SCARD_E_NOT_TRANSACTED;
    if (input.disconnectFails)
        fake.disconnect = SCARD_E_INVALID_HANDLE;
    // Each transmit takes the next step: an answer, or a failure of the call.
    int next = 0;
    fake.duringTransmit = [&input, &next, &fake]() {
        fake.responses.clear();
        fake.transmit = SCARD_S_SUCCESS;
        if (next < input.steps.size()) {
            const CardScript::Script::Step& step = input.steps.at(next++);
            if (step.failure != SCARD_S_SUCCESS)
                fake.transmit = step.failure;
            else
                fake.responses.append(step.answer);
        }
        return QString();
    };

    ZentavoTestAccess::handleTrace(w, QString(QChar(0x0B)));
    ZentavoTestAccess::context(w) = 0x1111;
    ZentavoTestAccess::cardType(w) = input.cardType;
    ZentavoTestAccess::cardNumber(w) = QStringLiteral("RUD0000000000001");

    switch (input.operation) {
    case CardScript::InsertCard:
        ZentavoTestAccess::readCard(w);
        // The number shown is the one that was copied and that the links act on.
        if (ZentavoTestAccess::edCardNumber(w)->text() != ZentavoTestAccess::cardNumber(w))
            finding("the number shown is not the number held");
        break;
    case CardScript::PrintCertificate:
        ZentavoTestAccess::printCertificateClicked(w);
        break;
    case CardScript::SaveCertificate:
        ZentavoTestAccess::onHyperLink(w, QStringLiteral("#cert"));
        break;
    case CardScript::VerifyPin:
        ZentavoTestAccess::onHyperLink(w, QStringLiteral("#verify"));
        break;
    case CardScript::UnblockPin:
        ZentavoTestAccess::onHyperLink(w, QStringLiteral("#unblock"));
        break;
    case CardScript::OperationCount:
        break;
    }
    // The printer's trace lines are queued.
    QCoreApplication::sendPostedEvents();
    // A wait given up ends on the card thread a moment later.
    ZentavoTestAccess::waitCardThreadIdle(w);

    if (QApplication::overrideCursor())
        finding("the wait cursor stayed on");
    checkBalanced(input);
    if (qEnvironmentVariableIsSet("ZENTAVO_FUZZ_TRACE"))
        std::fprintf(stderr, "%s\n", qPrintable(ZentavoTestAccess::edLog(w)->toPlainText()));
    fake.duringTransmit = nullptr;
    return 0;
}
