#pragma once

#include "card/cardhandle.h"

// One card access: connect, hold the card's transaction while body(card)
// runs, then end the transaction and disconnect with a card reset. Failures
// of the end are raised like any other; when an error is already leaving,
// the scope objects still end both and the first error is the one raised.
template <typename Body>
void withCardAccess(QObject* traceReceiver, SCARDCONTEXT context, const QString& readerName, Body&& body)
{
    CARD_HANDLE card(traceReceiver, context, readerName);
    {
        CARD_TRANSACTION transaction(&card);
        body(card);
    }
    card.close();
}
