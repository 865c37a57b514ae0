#include "app/zentavo.h"
#include "card/cardhandle.h"
#include "dialogs/qenterpinpuk.h"
#include "tacho/answer.h"
#include "tacho/cardaccess.h"
#include "tacho/secret.h"

namespace {
constexpr int PinOnly = 1;
constexpr int PinAndPuk = 3;

// Sends the secret command and lets only an exact 90 00 through. Refusals
// with a status word are raised by the card layer; any other answer (none at
// all, as vpcd hands back when the card leaves mid-exchange) is raised as the
// plain error, which the link handler reports as a failed operation.
void sendSecretCommand(CARD_HANDLE& card, const QByteArray& command)
{
    card.transmit(TachoCommand::selectTachograph);
    if (!isExactSuccess(card.transmit(command, TraceMode::Secret)))
        throw 0;
}
} // namespace

void Zentavo::verifyPin()
{
    handleTrace(QStringLiteral("Проверка ПИН-кода карты тахографа"));
    QString pin;
    QString puk;
    QByteArray command;
    const SecretWiper wiper({&pin, &puk}, {&command});
    if (!runPinDialog(this, pin, puk, PinOnly))
        return;
    command = buildVerifyCommand(pin);
    wipeSecret(pin);

    withCardAccess(this, context, currentReaderName(), [&](CARD_HANDLE& card) {
        sendSecretCommand(card, command);
        wipeSecret(command);
    });
    // Only once the card is let go: the box waits on the user, and a held
    // transaction may not wait that long (Windows resets an idle card after
    // 5 s, and other programs wait for it meanwhile).
    showInfo(QStringLiteral("Проверка ПИН-кода карты успешно завершена."));
}

void Zentavo::unblockPin()
{
    handleTrace(QStringLiteral("Разблокировка ПИН-кода карты тахографа"));
    QString pin;
    QString puk;
    QByteArray command;
    const SecretWiper wiper({&pin, &puk}, {&command});
    if (!runPinDialog(this, pin, puk, PinAndPuk))
        return;
    command = buildResetRetryCounterCommand(puk, pin);
    wipeSecret(pin);
    wipeSecret(puk);

    withCardAccess(this, context, currentReaderName(), [&](CARD_HANDLE& card) {
        sendSecretCommand(card, command);
        wipeSecret(command);
    });
    // Only once the card is let go: the box waits on the user, and a held
    // transaction may not wait that long (Windows resets an idle card after
    // 5 s, and other programs wait for it meanwhile).
    showInfo(QStringLiteral("ПИН-код карты успешно разблокирован."));
}
