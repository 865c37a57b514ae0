#include "card/cardhandle.h"
#include "tacho/answer.h"
#include "tacho/cardaccess.h"
#include "tacho/operations.h"
#include "tacho/secret.h"

SecretOutcome sendSecretCommand(CardSession& session, QByteArray& command)
{
    session.beginStep(QString(), QStringLiteral("Ошибка выполнения операции."));
    const SecretWiper wiper({}, {&command});
    SecretOutcome outcome;
    try {
        withCardAccess(&session, session.context(), session.readerName(), [&](CARD_HANDLE& card) {
            card.transmit(TachoCommand::selectTachograph);
            // Refusals with a status word are raised by the card layer; any
            // other answer than an exact 90 00 (none at all, as vpcd hands
            // back when the card leaves mid-exchange) is a failed operation.
            const bool done = isExactSuccess(card.transmit(command, TraceMode::Secret));
            wipeSecret(command);
            if (!done)
                throw 0;
        });
        outcome.kind = SecretOutcome::Done;
    } catch (const _std_card_error& error) {
        outcome.kind = SecretOutcome::Refused;
        outcome.statusWord = error.statusWord;
        outcome.message = error.message;
    } catch (...) {
        outcome.kind = currentAccessBlock() == CardAccessBlock::Busy ? SecretOutcome::Busy : SecretOutcome::Failed;
    }
    return outcome;
}
