#include "card/cardhandle.h"
#include "tacho/answer.h"
#include "tacho/cardaccess.h"
#include "tacho/operations.h"
#include "tacho/secret.h"

CardType readCardType(CardSession& session)
{
    session.beginStep(QStringLiteral("Чтение типа карты тахографа"),
                      QStringLiteral("Ошибка чтения типа карты тахографа."));
    CardType type = 0;
    try {
        withCardAccess(&session, session.context(), session.readerName(), [&](CARD_HANDLE& card) {
            card.transmit(TachoCommand::selectTachograph);
            card.transmit(TachoCommand::selectEf0501);
            type = parseCardTypeAnswer(card.transmit(TachoCommand::readCardType));
        });
    } catch (...) {
        session.trace(QStringLiteral("Ошибка чтения типа карты тахографа."));
        session.noteFailure();
        return 0;
    }
    return type;
}

QString readCardNumber(CardSession& session, const QByteArray& verifyCommand)
{
    session.beginStep(QStringLiteral("Чтение номера карты тахографа"),
                      QStringLiteral("Ошибка чтения номера карты тахографа."));
    QString number;
    try {
        withCardAccess(&session, session.context(), session.readerName(), [&](CARD_HANDLE& card) {
            card.transmit(TachoCommand::selectTachograph);
            card.transmit(TachoCommand::selectEf0520);
            if (!verifyCommand.isEmpty())
                card.transmit(verifyCommand, TraceMode::Secret);
            number = parseCardNumberAnswer(card.transmit(TachoCommand::readCardNumber));
        });
    } catch (...) {
        session.trace(QStringLiteral("Ошибка чтения номера карты тахографа."));
        session.noteFailure();
        return QString();
    }
    return number;
}

QString readSkziNumber(CardSession& session)
{
    session.beginStep(QStringLiteral("Чтение номера СКЗИ"), QStringLiteral("Ошибка чтения номера СКЗИ."));
    QString number;
    try {
        withCardAccess(&session, session.context(), session.readerName(), [&](CARD_HANDLE& card) {
            // No application selection first: EF 0002 lies under the master file.
            if (!isExactSuccess(card.transmit(TachoCommand::selectEf0002)))
                throw UnexpectedAnswer();
            const QByteArray answer = card.transmit(TachoCommand::readIccData);
            if (!hasLayout(answer, 27))
                throw UnexpectedAnswer();
            number = parseSkziNumber(answer.left(25));
        });
    } catch (...) {
        session.trace(QStringLiteral("Ошибка чтения номера СКЗИ."));
        session.noteFailure();
        return QString();
    }
    return number;
}

CardIdentity identifyCard(CardSession& session)
{
    session.beginStep(QStringLiteral("Чтение типа карты тахографа"),
                      QStringLiteral("Ошибка чтения типа карты тахографа."));
    CardIdentity identity;
    try {
        withCardAccess(&session, session.context(), session.readerName(), [&](CARD_HANDLE& card) {
            card.transmit(TachoCommand::getIdentification);
            const QByteArray answer = card.transmit(TachoCommand::getIdentification);
            if (!hasLayout(answer, 20))
                throw UnexpectedAnswer();
            identity.type = static_cast<qint8>(answer[0]);
            identity.number = QString::fromLatin1(answer.constData() + 2, 16);
            identity.numberRead = true;
        });
        return identity;
    } catch (...) {
        session.trace(QStringLiteral("Ошибка чтения типа карты тахографа."));
        identity = CardIdentity();
        // A card held or reset by another program, or gone, did not refuse
        // GET DATA: its files would tell no more, and a PIN asked for then
        // would be asked for nothing.
        if (session.noteFailure() != CardAccessBlock::None)
            return identity;
    }
    // The card refused GET DATA: identify it through its files.
    identity.type = readCardType(session);
    return identity;
}
