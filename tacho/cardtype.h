#pragma once

#include <QByteArray>
#include <QString>

// Card type code: 1 driver, 2 workshop, 3 control, 4 company, 0 none known.
using CardType = int;

struct CardTypeName
{
    CardType code;
    const char* name;
};

// Ordered (code, name) pairs ended by {0, nullptr}.
extern const CardTypeName cardTypeNames[];

// The shown name of a card type, or empty text for a code without one.
QString cardTypeName(CardType type);

namespace TachoCommand {
extern const QByteArray selectTachograph;  // 00 A4 04 0C 06 FF 54 41 43 48 4F
extern const QByteArray selectEf0501;      // 00 A4 02 0C 02 05 01
extern const QByteArray readCardType;      // 00 B0 00 00 01
extern const QByteArray selectEf0520;      // 00 A4 02 0C 02 05 20
extern const QByteArray readCardNumber;    // 00 B0 00 01 10
extern const QByteArray selectEf0002;      // 00 A4 02 0C 02 00 02
extern const QByteArray readIccData;       // 00 B0 00 00 19
extern const QByteArray getIdentification; // 00 CA 00 45 12
extern const QByteArray selectEfC200;      // 00 A4 02 0C 02 C2 00
extern const QByteArray readCertHeader;    // 00 B0 00 00 04
} // namespace TachoCommand

// A PIN or PUK text as 8 bytes: its first 8 characters one byte each
// (0x00 for a character above U+00FF), filled up with 0xFF.
QByteArray encodePinBlock(const QString& text);

// VERIFY 00 20 00 00 08 + PIN block; empty for an empty pin.
QByteArray buildVerifyCommand(const QString& pin);

// RESET RETRY COUNTER 00 2C 00 00 10 + PUK block + new PIN block.
QByteArray buildResetRetryCounterCommand(const QString& puk, const QString& newPin);

// READ BINARY of the 256-byte chunk n of the certificate file: 00 B0 n 00 00.
QByteArray buildReadChunkCommand(int chunk);
