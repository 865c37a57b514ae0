// The window's side of the card operations: what it asks of the card thread,
// and how it shows what comes back.

#include "app/zentavo.h"

#include "app/accessibility.h"
#include "dialogs/qenterpinpuk.h"
#include "tacho/operations.h"
#include "tacho/secret.h"
#include "ui_zentavo.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include <algorithm>

namespace {
constexpr int PinOnly = 1;
constexpr int PinAndPuk = 3;

const char operationFailedLine[] = "Ошибка выполнения операции.";
const char cardWaitLine[] = "Карта занята другой программой. Ожидание…";

bool pinAskedFor(CardType type)
{
    return type == 3 || type == 4;
}
} // namespace

void Zentavo::makeCardWaitBar()
{
    // Beside the card's title, where the user looks for the card; hidden, it
    // takes no room.
    auto* parentLayout = qobject_cast<QBoxLayout*>(form->lbCardTitle->parentWidget()->layout());
    QLayout* titleLayout = nullptr;
    for (QLayout* layout : form->lbCardTitle->parentWidget()->findChildren<QLayout*>()) {
        if (layout->indexOf(form->lbCardTitle) >= 0)
            titleLayout = layout;
    }
    if (!titleLayout)
        titleLayout = parentLayout;
    auto* box = qobject_cast<QBoxLayout*>(titleLayout);
    cardWaitBar = new QWidget(form->lbCardTitle->parentWidget());
    cardWaitBar->setObjectName(QStringLiteral("cardWaitBar"));
    auto* row = new QHBoxLayout(cardWaitBar);
    row->setContentsMargins(0, 0, 0, 0);
    cardWaitText = new QLabel(QString::fromUtf8(cardWaitLine), cardWaitBar);
    cardWaitText->setObjectName(QStringLiteral("lbCardWait"));
    cardWaitCancel = new QPushButton(QStringLiteral("Отменить"), cardWaitBar);
    cardWaitCancel->setObjectName(QStringLiteral("bnCancelWait"));
    cardWaitCancel->setAccessibleDescription(QString::fromUtf8(cardWaitLine));
    row->addWidget(cardWaitText);
    row->addWidget(cardWaitCancel);
    row->addStretch();
    cardWaitBar->hide();
    if (box) {
        const int at = box->indexOf(form->lbCardTitle);
        box->removeWidget(form->lbCardTitle);
        auto* titleRow = new QHBoxLayout;
        titleRow->addWidget(form->lbCardTitle);
        titleRow->addWidget(cardWaitBar, 1);
        box->insertLayout(at, titleRow);
    }
    connect(cardWaitCancel, &QPushButton::clicked, this, &Zentavo::cancelCardWait);
}

void Zentavo::showCardWait(bool waiting)
{
    if (waiting == !cardWaitBar->isHidden())
        return;
    if (waiting) {
        handleTrace(QString::fromUtf8(cardWaitLine));
        cardWaitBar->show();
        fitContentWidth();
        announce(cardWaitText);
    } else {
        // The focus on «Отменить» waits on the form for the end, like the
        // focus of a disabled action.
        if (cardWaitCancel->hasFocus()) {
            form->centralWidget->setFocus(Qt::OtherFocusReason);
            focusMovedTo = focusWidget();
        }
        cardWaitBar->hide();
    }
}

void Zentavo::cancelCardWait()
{
    if (cardThread.busy())
        dropOperation(true);
}

void Zentavo::beginOperation(Operation kind)
{
    running = kind;
    const std::initializer_list<QWidget*> actions{form->bnReadCard, form->readCertButton, form->lbShowCert,
                                                  form->lbVerifyPin, form->lbUnblockPin};
    focusBefore = focusWidget();
    // Qt would move the focus on from a widget that it disables, and a
    // Space meant for «Получить данные» could land on «Отключить»: the focus
    // waits on the form, and comes back at the end unless the user moves it.
    if (std::find(actions.begin(), actions.end(), focusBefore.data()) != actions.end())
        form->centralWidget->setFocus(Qt::OtherFocusReason);
    focusMovedTo = focusWidget();
    readCardWasEnabled = form->bnReadCard->isEnabled();
    for (QWidget* action : actions)
        action->setEnabled(false);
}

void Zentavo::endOperation()
{
    if (running == Operation::None)
        return;
    running = Operation::None;
    cardJobDone();
    showCardWait(false);
    form->bnReadCard->setEnabled(readCardWasEnabled);
    for (QWidget* link : std::initializer_list<QWidget*>{form->lbShowCert, form->lbVerifyPin, form->lbUnblockPin})
        link->setEnabled(true);
    updateActions();
    if (focusBefore && focusBefore != focusWidget() && focusWidget() == focusMovedTo && focusBefore->isEnabled() &&
        focusBefore->isVisible())
        focusBefore->setFocus(Qt::OtherFocusReason);
    focusBefore = nullptr;
    focusMovedTo = nullptr;
    runDeferredNews();
}

void Zentavo::startCardJob(CardThread::Job job)
{
    if (!waitCursorShown) {
        QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        waitCursorShown = true;
    }
    cardThread.start(currentReaderName(), std::move(job));
}

void Zentavo::cardJobDone()
{
    if (waitCursorShown) {
        waitCursorShown = false;
        QApplication::restoreOverrideCursor();
    }
}

void Zentavo::dropOperation(bool byUser)
{
    const Operation kind = running;
    if (kind == Operation::None)
        return;
    if (prompt) {
        // Waiting for the user, not for the card: nothing was sent.
        abandonPrompt();
        if (kind == Operation::Identification)
            forgetCard();
        endOperation();
        return;
    }
    QString line = cardThread.drop();
    if (line.isEmpty()) {
        // Given up before its first step: the step it was waiting to take.
        line = kind == Operation::Identification ? QStringLiteral("Ошибка чтения типа карты тахографа.")
               : kind == Operation::Certificate ? QStringLiteral("Ошибка чтения сертификата карты.")
                                                : QString::fromUtf8(operationFailedLine);
    }
    handleTrace(line);
    if (byUser)
        handleTrace(QString::fromUtf8(cardBusyLine));
    if (kind == Operation::Identification) {
        forgetCard();
        // Not by the user: the card went (the monitor's news says so) or
        // the reader was let go.
        if (byUser)
            announceCard(QString::fromUtf8(cardBusyLine));
    }
    endOperation();
    if (kind == Operation::Secret) {
        QString text = QString::fromUtf8(operationFailedLine);
        if (byUser)
            text += QStringLiteral("\n\n") + QString::fromUtf8(cardBusyLine);
        showError(text);
    }
}

void Zentavo::deliverNews(std::function<void()> news, bool endsOperation)
{
    ++cardEvents;
    if (prompt) {
        // The card the prompt asked for may be gone, or another in its place:
        // the prompt closes and nothing of it is sent.
        dropOperation(false);
    } else if (operationRunning()) {
        if (!endsOperation) {
            // A card inserted: read once the operation under way has ended.
            deferredNews.push_back(std::move(news));
            return;
        }
        // The latest news of the reader is what counts.
        deferredNews.clear();
        dropOperation(false);
    }
    news();
}

void Zentavo::runDeferredNews()
{
    while (!deferredNews.empty() && !operationRunning()) {
        auto news = std::move(deferredNews.front());
        deferredNews.erase(deferredNews.begin());
        news();
    }
}

void Zentavo::openPrompt(QDialog* dialog)
{
    prompt = dialog;
    promptCardEvents = cardEvents;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::ApplicationModal);
    // Under someone else's wait cursor (a reader being selected) the user
    // must see that the program now waits for them.
    if (QApplication::overrideCursor()) {
        QApplication::setOverrideCursor(QCursor(Qt::ArrowCursor));
        arrowCursorShown = true;
    }
    dialog->open();
}

void Zentavo::abandonPrompt()
{
    QPointer<QDialog> dialog = prompt;
    prompt = nullptr;
    if (arrowCursorShown) {
        arrowCursorShown = false;
        QApplication::restoreOverrideCursor();
    }
    if (!dialog)
        return;
    // Whatever was typed goes with the dialog.
    for (QLineEdit* field : dialog->findChildren<QLineEdit*>())
        field->clear();
    dialog->reject();
}

// --- Identification -------------------------------------------------------

void Zentavo::on_bnReadCard_clicked()
{
    if (operationRunning())
        return;
    readCardIdentification();
}

void Zentavo::readCardIdentification()
{
    beginOperation(Operation::Identification);
    startCardJob([this](CardSession& session) { identificationJob(this, session, QByteArray(), 0); });
}

// On the card thread. knownType is the type found before a PIN prompt: the
// sequence goes on with the number.
void Zentavo::identificationJob(Zentavo* window, CardSession& session, const QByteArray& verifyCommand,
                                CardType knownType)
{
    CardType type = knownType;
    QString number;
    if (knownType == 0) {
        const CardIdentity identity = identifyCard(session);
        type = identity.type;
        number = identity.number;
        session.post([window, type, number] { window->showIdentity(type, number); });
        if (!identity.numberRead && type != 0) {
            if (pinAskedFor(type)) {
                // No card access is held while the user types.
                session.post([window, type] { window->askCardPin(type); });
                return;
            }
            knownType = type;
        }
    }
    if (knownType != 0) {
        number = readCardNumber(session, verifyCommand);
        session.post([window, type, number] { window->showIdentity(type, number); });
    }
    // One wait for another program per sequence: a card still held after it
    // is not tried again for the SKZI number.
    const CardAccessBlock block = session.lastBlock();
    const QString skzi = block == CardAccessBlock::None ? readSkziNumber(session) : QString();
    const CardAccessBlock last = session.lastBlock();
    const QString reason = session.failureReason();
    session.post([window, skzi, last, reason] { window->endIdentification(skzi, last, reason); });
}

void Zentavo::showIdentity(CardType type, const QString& number)
{
    cardType = type;
    showCardTitle(type);
    // No card type known means no card identified: a number that an earlier
    // step may have left must not be shown, copied or acted on.
    cardNumber = type == 0 ? QString() : number;
    form->edCardNumber->setText(cardNumber);
}

void Zentavo::askCardPin(CardType type)
{
    cardJobDone();
    auto* box = new QInputDialog(this);
    box->setWindowTitle(QStringLiteral("Введите ПИН-код"));
    box->setLabelText(QStringLiteral("ПИН-код карты тахографа"));
    box->setTextEchoMode(QLineEdit::Password);
    connect(box, &QDialog::finished, this, [this, box, type](int result) {
        if (prompt != box)
            return; // abandoned: the card went, or the window closes
        auto verify = std::make_shared<SecretBytes>();
        if (result == QDialog::Accepted && promptCardEvents == cardEvents) {
            QString pin = box->textValue();
            verify->bytes = buildVerifyCommand(pin);
            wipeSecret(pin);
        }
        abandonPrompt();
        // A cancelled prompt reads the number without VERIFY.
        startCardJob(
            [this, verify, type](CardSession& session) { identificationJob(this, session, verify->bytes, type); });
    });
    openPrompt(box);
}

void Zentavo::endIdentification(const QString& skziNumber, CardAccessBlock block, const QString& failureReason)
{
    cardJobDone();
    // A card held by another program, or gone, in any step: nothing read of
    // it is kept.
    if (block != CardAccessBlock::None)
        forgetCard();
    else
        form->edSKZINumber->setText(skziNumber);
    QGuiApplication::clipboard()->setText(cardNumber, QClipboard::Clipboard);
    // Said once, with what a sighted user sees at once: the type and number.
    const QString name = cardTypeName(cardType).isEmpty() ? QStringLiteral("Карта тахографа") : cardTypeName(cardType);
    if (!cardNumber.isEmpty()) {
        announceCard(name + QStringLiteral(", номер ") + cardNumber);
    } else if (cardType == 0) {
        announceCard(failureReason.isEmpty() ? QStringLiteral("Ошибка чтения типа карты тахографа.") : failureReason);
    } else {
        announceCard(
            name + QStringLiteral(". ") +
            (failureReason.isEmpty() ? QStringLiteral("Ошибка чтения номера карты тахографа.") : failureReason));
    }
    endOperation();
}

void Zentavo::forgetCard()
{
    cardType = 0;
    cardNumber.clear();
    showCardTitle(0);
    form->edCardNumber->clear();
    form->edSKZINumber->clear();
    QGuiApplication::clipboard()->setText(cardNumber, QClipboard::Clipboard);
}

// --- Certificate ----------------------------------------------------------

void Zentavo::readCertificate(int mode, bool open)
{
    beginOperation(Operation::Certificate);
    lastSavedPath.clear();
    const CardType type = cardType;
    startCardJob([this, mode, open, type](CardSession& session) {
        QByteArray bytes;
        const bool read = readCertificateFile(session, bytes);
        session.post([this, mode, open, type, read, bytes] {
            endOperation();
            if (!read)
                return;
            // The files are written and the browser started once the card is
            // let go: neither may hold the card's transaction while it waits.
            if (mode == 1) {
                printer.printCertificate(bytes, type);
                return;
            }
            lastSavedPath = saveCertificate(bytes);
            if (open && !lastSavedPath.isEmpty())
                QDesktopServices::openUrl(QUrl::fromLocalFile(lastSavedPath));
        });
    });
}

// --- PIN and PUK ----------------------------------------------------------

void Zentavo::verifyPin()
{
    handleTrace(QStringLiteral("Проверка ПИН-кода карты тахографа"));
    runSecretOperation(PinOnly, QStringLiteral("Проверка ПИН-кода карты успешно завершена."));
}

void Zentavo::unblockPin()
{
    handleTrace(QStringLiteral("Разблокировка ПИН-кода карты тахографа"));
    runSecretOperation(PinAndPuk, QStringLiteral("ПИН-код карты успешно разблокирован."));
}

void Zentavo::runSecretOperation(int mask, const QString& successText)
{
    beginOperation(Operation::Secret);
    QEnterPinPuk* dialog = makePinDialog(this, mask);
    connect(dialog, &QDialog::finished, this, [this, dialog, mask, successText] {
        if (prompt != dialog)
            return; // abandoned: the card went, or the window closes
        QString pin = dialog->isAccepted() ? dialog->pinText() : QString();
        QString puk = dialog->isAccepted() ? dialog->pukText() : QString();
        const bool sameCard = promptCardEvents == cardEvents;
        abandonPrompt();
        auto command = std::make_shared<SecretBytes>();
        if (!pin.isEmpty() && sameCard)
            command->bytes = mask == PinOnly ? buildVerifyCommand(pin) : buildResetRetryCounterCommand(puk, pin);
        wipeSecret(pin);
        wipeSecret(puk);
        if (command->bytes.isEmpty()) {
            endOperation();
            return;
        }
        startCardJob([this, command, successText](CardSession& session) {
            const SecretOutcome outcome = sendSecretCommand(session, command->bytes);
            session.post([this, outcome, successText] {
                endOperation();
                switch (outcome.kind) {
                case SecretOutcome::Done:
                    // Only once the card is let go: the box waits on the user.
                    showInfo(successText);
                    break;
                case SecretOutcome::Refused:
                    showError(QString::asprintf("Ошибка выполнения операции.\n\n(0x%X)\n«%s»",
                                                static_cast<unsigned>(outcome.statusWord),
                                                outcome.message.toUtf8().constData()));
                    break;
                case SecretOutcome::Busy:
                    // The log may be hidden: the box gives the reason too.
                    handleTrace(QString::fromUtf8(operationFailedLine));
                    handleTrace(QString::fromUtf8(cardBusyLine));
                    showError(QString::fromUtf8(operationFailedLine) + QStringLiteral("\n\n") +
                              QString::fromUtf8(cardBusyLine));
                    break;
                case SecretOutcome::Failed:
                    logAndShowError(QString::fromUtf8(operationFailedLine));
                    break;
                }
            });
        });
    });
    openPrompt(dialog);
}
