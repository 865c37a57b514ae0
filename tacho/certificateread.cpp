#include "card/cardhandle.h"
#include "tacho/answer.h"
#include "tacho/cardaccess.h"
#include "tacho/operations.h"

bool readCertificateFile(CardSession& session, QByteArray& bytes)
{
    session.beginStep(QStringLiteral("Чтение сертификата"), QStringLiteral("Ошибка чтения сертификата карты."));
    bytes.clear();
    try {
        withCardAccess(&session, session.context(), session.readerName(), [&](CARD_HANDLE& card) {
            if (!isExactSuccess(card.transmit(TachoCommand::selectTachograph)))
                throw UnexpectedAnswer();
            if (!isExactSuccess(card.transmit(TachoCommand::selectEfC200)))
                throw UnexpectedAnswer();
            const QByteArray header = card.transmit(TachoCommand::readCertHeader);
            if (!hasLayout(header, 6))
                throw UnexpectedAnswer();
            const int contentLength =
                (static_cast<unsigned char>(header[2]) << 8) | static_cast<unsigned char>(header[3]);
            const int total = contentLength + 4;
            // A certificate whose chunks cannot all be addressed is refused
            // before any chunk is read.
            if (certificateChunkCount(contentLength) < 0)
                throw UnexpectedAnswer();

            int chunk = 0;
            while (bytes.size() < total) {
                // Short chunks could push the chunk number past what P1 can carry.
                if (chunk >= MaxCertificateChunks)
                    throw UnexpectedAnswer();
                const QByteArray answer = card.transmit(buildReadChunkCommand(chunk));
                ++chunk;
                if (!endsWithSuccess(answer))
                    throw UnexpectedAnswer();
                // 90 00 without data would never end the loop.
                if (answer.size() == 2)
                    throw UnexpectedAnswer();
                bytes.append(answer.constData(), answer.size() - 2);
            }
        });
    } catch (...) {
        bytes.clear();
        session.trace(QStringLiteral("Ошибка чтения сертификата карты."));
        session.noteFailure();
        return false;
    }
    return true;
}
