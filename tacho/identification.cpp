#include "app/zentavo.h"
#include "card/cardhandle.h"
#include "tacho/answer.h"
#include "tacho/cardaccess.h"
#include "tacho/secret.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>

namespace {
// The form's fields are found by their fixed object names, so the card
// operations need nothing of the form's generated code.
void setFieldText(QObject* window, const char* objectName, const QString& text)
{
    if (auto* field = window->findChild<QLineEdit*>(QLatin1String(objectName)))
        field->setText(text);
}
} // namespace

CardType Zentavo::readCardType()
{
    handleTrace(QStringLiteral("Чтение типа карты тахографа"));
    CardType type = 0;
    try {
        withCardAccess(this, context, currentReaderName(), [&](CARD_HANDLE& card) {
            card.transmit(TachoCommand::selectTachograph);
            card.transmit(TachoCommand::selectEf0501);
            type = parseCardTypeAnswer(card.transmit(TachoCommand::readCardType));
        });
    } catch (...) {
        handleTrace(QStringLiteral("Ошибка чтения типа карты тахографа."));
        noteAccessFailure();
        return 0;
    }
    return type;
}

QString Zentavo::readCardNumber(const QString& pin)
{
    handleTrace(QStringLiteral("Чтение номера карты тахографа"));
    QString number;
    QByteArray verify;
    const SecretWiper wiper({}, {&verify});
    try {
        withCardAccess(this, context, currentReaderName(), [&](CARD_HANDLE& card) {
            card.transmit(TachoCommand::selectTachograph);
            card.transmit(TachoCommand::selectEf0520);
            if (!pin.isEmpty()) {
                verify = buildVerifyCommand(pin);
                card.transmit(verify, TraceMode::Secret);
                wipeSecret(verify);
            }
            number = parseCardNumberAnswer(card.transmit(TachoCommand::readCardNumber));
        });
    } catch (...) {
        handleTrace(QStringLiteral("Ошибка чтения номера карты тахографа."));
        noteAccessFailure();
        return QString();
    }
    return number;
}

QString Zentavo::readSkziNumber()
{
    handleTrace(QStringLiteral("Чтение номера СКЗИ"));
    QString number;
    try {
        withCardAccess(this, context, currentReaderName(), [&](CARD_HANDLE& card) {
            // No application selection first: EF 0002 lies under the master file.
            if (!isExactSuccess(card.transmit(TachoCommand::selectEf0002)))
                throw UnexpectedAnswer();
            const QByteArray answer = card.transmit(TachoCommand::readIccData);
            if (!hasLayout(answer, 27))
                throw UnexpectedAnswer();
            number = parseSkziNumber(answer.left(25));
        });
    } catch (...) {
        handleTrace(QStringLiteral("Ошибка чтения номера СКЗИ."));
        noteAccessFailure();
        return QString();
    }
    return number;
}

void Zentavo::readCardIdentification()
{
    handleTrace(QStringLiteral("Чтение типа карты тахографа"));
    CardAccessBlock blocked = CardAccessBlock::None;
    try {
        CardType type = 0;
        withCardAccess(this, context, currentReaderName(), [&](CARD_HANDLE& card) {
            card.transmit(TachoCommand::getIdentification);
            const QByteArray answer = card.transmit(TachoCommand::getIdentification);
            if (!hasLayout(answer, 20))
                throw UnexpectedAnswer();
            type = static_cast<qint8>(answer[0]);
            showCardTitle(type);
            cardNumber = QString::fromLatin1(answer.constData() + 2, 16);
            setFieldText(this, "edCardNumber", cardNumber);
        });
        cardType = type;
        return;
    } catch (...) {
        handleTrace(QStringLiteral("Ошибка чтения типа карты тахографа."));
        blocked = noteAccessFailure();
    }

    // The card refused GET DATA: identify it through its files. A card held
    // or reset by another program, or gone, did not refuse it: the files would
    // tell no more, and a PIN asked for then would be asked for nothing; its
    // type is not known.
    const CardType type = blocked == CardAccessBlock::None ? readCardType() : 0;
    cardType = type;
    showCardTitle(type);
    if (type == 0) {
        // No card type known means no card identified: a number that an
        // earlier step may have left must not be shown, copied or acted on.
        cardNumber.clear();
        setFieldText(this, "edCardNumber", cardNumber);
        return;
    }

    QString pin;
    const SecretWiper wiper({&pin});
    if (type == 3 || type == 4)
        promptCardPin(pin);
    cardNumber = readCardNumber(pin);
    setFieldText(this, "edCardNumber", cardNumber);
    cardType = type;
}

void Zentavo::promptCardPin(QString& pin)
{
    // The box may come up inside a waiting operation (a reader being
    // selected); the user must see that the program now waits for them.
    const bool waiting = QApplication::overrideCursor() != nullptr;
    if (waiting)
        QApplication::setOverrideCursor(QCursor(Qt::ArrowCursor));
    pin = QInputDialog::getText(this, QStringLiteral("Введите ПИН-код"), QStringLiteral("ПИН-код карты тахографа"),
                                QLineEdit::Password, QString());
    if (waiting)
        QApplication::restoreOverrideCursor();
}

void Zentavo::on_bnReadCard_clicked()
{
    if (gate.closed())
        return;
    lastAccessBlock = CardAccessBlock::None;
    readCardIdentification();
    // One wait for another program per sequence: a card still held after it
    // is not tried again for the SKZI number, and nothing read before is
    // shown for it.
    setFieldText(this, "edSKZINumber", lastAccessBlock == CardAccessBlock::None ? readSkziNumber() : QString());
    QGuiApplication::clipboard()->setText(cardNumber, QClipboard::Clipboard);
    updateActions();
}
