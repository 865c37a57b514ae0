#pragma once

#include "tacho/cardtype.h"

#include <QByteArray>
#include <QString>

// Thrown by a card operation when an answer's layout is not the expected one;
// the operations catch it with every other error of their card access.
struct UnexpectedAnswer
{
};

// The answer is at least two bytes long and ends in 90 00.
bool endsWithSuccess(const QByteArray& answer);
// The answer is exactly the status word 90 00.
bool isExactSuccess(const QByteArray& answer);
// The answer is `length` bytes long and ends in 90 00.
bool hasLayout(const QByteArray& answer, int length);

// Byte 0 of a READ BINARY of EF 0501 (1 data byte + 90 00) as a signed code;
// 0 for any other answer.
CardType parseCardTypeAnswer(const QByteArray& answer);
// The 16 stored characters of a card number answer (16 data bytes + 90 00),
// Latin-1 and untrimmed; empty text for any other answer.
QString parseCardNumberAnswer(const QByteArray& answer);
// The SKZI number from the 25 bytes of the ICC data (data bytes only): the
// bytes from offset 9 up to the first zero byte, one character each; a byte
// of 0x80 or more, which is no complete UTF-8 sequence, becomes U+FFFD.
QString parseSkziNumber(const QByteArray& iccData);

// The certificate file holds L + 4 bytes from offset 0. The chunk number
// travels in P1 alone, and ISO 7816-4 gives P1's top bit another meaning
// (short file identifier), so only chunks 0 to 127 can be addressed.
constexpr int MaxCertificateChunks = 128;
// How many 256-byte chunks a certificate of content length L needs, or -1
// when they cannot all be addressed.
int certificateChunkCount(int contentLength);
