#pragma once

// The input of the card answers target: which operation runs, how the
// connection and the scope ends behave, and every answer the card gives.
//
//   byte 0   operation (Operation, modulo its count)
//   byte 1   connect: 0 the card speaks T=1; 1 only T=0 (every T=1 attempt is
//            refused with a protocol mismatch, as pcscd does for such an ATR);
//            2 and up: the first connect fails with connectFailures[(b - 2) % n]
//   byte 2   bit 0 begin transaction fails, bit 1 end transaction fails,
//            bit 2 disconnect fails; bits 4-6 the card type the window holds
//   then     one record per transmit: a length byte 0-253 and that many
//            answer bytes; 254 and a big-endian 16-bit length for a longer
//            answer (a whole 256-byte chunk and its status word); 255 and a
//            byte k: the transmit fails with transmitFailures[k % n]. Once the
//            records run out, every answer is 90 00.

#include <PCSC/pcsclite.h>

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace CardScript {

enum Operation : std::uint8_t
{
    InsertCard,       // what an inserted card triggers: identification and SKZI number
    PrintCertificate, // the print button
    SaveCertificate,  // the "#cert" link
    VerifyPin,        // the "#verify" link
    UnblockPin,       // the "#unblock" link
    OperationCount
};

constexpr std::uint8_t LongAnswerMark = 254;
constexpr std::uint8_t TransmitFailureMark = 255;

constexpr LONG connectFailures[] = {
    LONG(SCARD_E_NO_SMARTCARD),      LONG(SCARD_W_REMOVED_CARD), LONG(SCARD_W_UNRESPONSIVE_CARD),
    LONG(SCARD_E_SHARING_VIOLATION), LONG(SCARD_E_NO_SERVICE),   LONG(SCARD_E_READER_UNAVAILABLE),
    LONG(SCARD_E_PROTO_MISMATCH),
};
constexpr LONG transmitFailures[] = {
    LONG(SCARD_W_REMOVED_CARD), LONG(SCARD_E_NOT_TRANSACTED),      LONG(SCARD_E_NO_SERVICE),
    LONG(SCARD_F_COMM_ERROR),   LONG(SCARD_E_INSUFFICIENT_BUFFER), LONG(SCARD_W_RESET_CARD),
};

struct Script
{
    Operation operation = InsertCard;
    QList<LONG> connect; // results of the connect attempts, in order
    bool beginFails = false;
    bool endFails = false;
    bool disconnectFails = false;
    int cardType = 0;
    // Per transmit: the answer, or a failure when `failure` is not success.
    struct Step
    {
        LONG failure = SCARD_S_SUCCESS;
        QByteArray answer;
    };
    QList<Step> steps;
};

inline Script parse(const std::uint8_t* data, std::size_t size)
{
    Script s;
    if (size < 3)
        return s;
    s.operation = Operation(data[0] % OperationCount);
    if (data[1] == 1) {
        // Every operation connects anew, and each time the T=1 attempt fails.
        for (int i = 0; i < 8; ++i)
            s.connect << LONG(SCARD_E_PROTO_MISMATCH) << SCARD_S_SUCCESS;
    } else if (data[1] >= 2)
        s.connect = {connectFailures[(data[1] - 2) % std::size(connectFailures)]};
    s.beginFails = data[2] & 1;
    s.endFails = data[2] & 2;
    s.disconnectFails = data[2] & 4;
    s.cardType = (data[2] >> 4) & 7;
    std::size_t i = 3;
    while (i < size) {
        const std::uint8_t length = data[i++];
        Script::Step step;
        if (length == TransmitFailureMark) {
            const std::uint8_t k = i < size ? data[i++] : 0;
            step.failure = transmitFailures[k % std::size(transmitFailures)];
        } else {
            std::size_t wanted = length;
            if (length == LongAnswerMark) {
                wanted = i < size ? std::size_t(data[i++]) << 8 : 0;
                wanted |= i < size ? data[i++] : 0;
            }
            const std::size_t n = std::min<std::size_t>(wanted, size - i);
            step.answer = QByteArray(reinterpret_cast<const char*>(data + i), int(n));
            i += n;
        }
        s.steps.append(step);
    }
    return s;
}

// The header bytes of a script (for the seed generator).
inline QByteArray header(Operation operation, std::uint8_t connect, std::uint8_t flags)
{
    QByteArray bytes;
    bytes.append(char(operation)).append(char(connect)).append(char(flags));
    return bytes;
}

inline void appendAnswer(QByteArray& script, const QByteArray& answer)
{
    const int n = int(std::min<qsizetype>(answer.size(), 0xFFFF));
    if (n < LongAnswerMark) {
        script.append(char(n));
    } else {
        script.append(char(LongAnswerMark)).append(char(n >> 8)).append(char(n & 0xFF));
    }
    script.append(answer.left(n));
}

} // namespace CardScript
