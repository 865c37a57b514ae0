#include "tacho/cardtype.h"

const CardTypeName cardTypeNames[] = {
    {1, "Карта водителя"}, {2, "Карта мастерской"}, {3, "Карта контролера"}, {4, "Карта предприятия"}, {0, nullptr},
};

QString cardTypeName(CardType type)
{
    for (const CardTypeName* row = cardTypeNames; row->name; ++row) {
        if (row->code == type)
            return QString::fromUtf8(row->name);
    }
    return QString();
}

namespace TachoCommand {
const QByteArray selectTachograph = QByteArray::fromHex("00A4040C06FF544143484F");
const QByteArray selectEf0501 = QByteArray::fromHex("00A4020C020501");
const QByteArray readCardType = QByteArray::fromHex("00B0000001");
const QByteArray selectEf0520 = QByteArray::fromHex("00A4020C020520");
const QByteArray readCardNumber = QByteArray::fromHex("00B0000110");
const QByteArray selectEf0002 = QByteArray::fromHex("00A4020C020002");
const QByteArray readIccData = QByteArray::fromHex("00B0000019");
const QByteArray getIdentification = QByteArray::fromHex("00CA004512");
const QByteArray selectEfC200 = QByteArray::fromHex("00A4020C02C200");
const QByteArray readCertHeader = QByteArray::fromHex("00B0000004");
} // namespace TachoCommand

namespace {
// Writes the PIN block of text into command at offset, in place, so that no
// temporary copy of the secret is left behind in freed memory.
void putPinBlock(QByteArray& command, int offset, const QString& text)
{
    const int n = qMin(8, static_cast<int>(text.size()));
    for (int i = 0; i < 8; ++i) {
        char byte = char(0xFF);
        if (i < n) {
            const char16_t unit = text.at(i).unicode();
            byte = unit <= 0xFF ? static_cast<char>(unit) : char(0x00);
        }
        command[offset + i] = byte;
    }
}

QByteArray commandWithData(const char* header, int dataLength)
{
    QByteArray command(5 + dataLength, char(0xFF));
    for (int i = 0; i < 5; ++i)
        command[i] = header[i];
    return command;
}
} // namespace

QByteArray encodePinBlock(const QString& text)
{
    QByteArray block(8, char(0xFF));
    putPinBlock(block, 0, text);
    return block;
}

QByteArray buildVerifyCommand(const QString& pin)
{
    if (pin.isEmpty())
        return QByteArray();
    QByteArray command = commandWithData("\x00\x20\x00\x00\x08", 8);
    putPinBlock(command, 5, pin);
    return command;
}

QByteArray buildResetRetryCounterCommand(const QString& puk, const QString& newPin)
{
    QByteArray command = commandWithData("\x00\x2C\x00\x00\x10", 16);
    putPinBlock(command, 5, puk);
    putPinBlock(command, 13, newPin);
    return command;
}

QByteArray buildReadChunkCommand(int chunk)
{
    QByteArray command = QByteArray::fromHex("00B0000000");
    command[2] = static_cast<char>(chunk & 0xFF);
    return command;
}
