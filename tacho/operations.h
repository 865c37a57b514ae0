#pragma once

// The card operations. Each runs on the card thread, makes and ends its own
// card access, writes its log lines through the session and returns what it
// read; a failure is logged and noted in the session, and returns nothing.

#include "tacho/cardsession.h"
#include "tacho/cardtype.h"

#include <QByteArray>
#include <QString>

// What the first step of the identification found out.
struct CardIdentity
{
    CardType type = 0;
    QString number;
    // GET DATA gave the number with the type.
    bool numberRead = false;
};

// GET DATA; a card that refuses it is identified through its files, up to
// its type. A card held by another program or gone is not: its type is 0.
CardIdentity identifyCard(CardSession& session);
CardType readCardType(CardSession& session);
// With a VERIFY command (empty for none) sent before the number is read.
QString readCardNumber(CardSession& session, const QByteArray& verifyCommand);
QString readSkziNumber(CardSession& session);
// The whole certificate file; false when it could not be read.
bool readCertificateFile(CardSession& session, QByteArray& bytes);

// How a PIN or PUK command ended.
struct SecretOutcome
{
    enum Kind
    {
        Done,
        // A listed status word: statusWord and message.
        Refused,
        // Another program held the card.
        Busy,
        Failed,
    };
    Kind kind = Failed;
    int statusWord = 0;
    QString message;
};
// Sends the command (VERIFY or RESET RETRY COUNTER) once, after selecting
// the application, and wipes it.
SecretOutcome sendSecretCommand(CardSession& session, QByteArray& command);
