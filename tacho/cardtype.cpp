#include "tacho/cardtype.h"

const CardTypeName cardTypeNames[] = {
    {1, "Карта водителя"},
    {2, "Карта мастерской"},
    {3, "Карта контролера"},
    {4, "Карта предприятия"},
    {0, nullptr},
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

QByteArray encodePinBlock(const QString& text)
{
    QByteArray block(8, char(0xFF));
    const int n = qMin(8, static_cast<int>(text.size()));
    for (int i = 0; i < n; ++i) {
        const char16_t unit = text.at(i).unicode();
        block[i] = unit <= 0xFF ? static_cast<char>(unit) : char(0x00);
    }
    return block;
}

QByteArray buildVerifyCommand(const QString& pin)
{
    if (pin.isEmpty())
        return QByteArray();
    return QByteArray::fromHex("0020000008") + encodePinBlock(pin);
}

QByteArray buildResetRetryCounterCommand(const QString& puk, const QString& newPin)
{
    return QByteArray::fromHex("002C000010") + encodePinBlock(puk) + encodePinBlock(newPin);
}

QByteArray buildReadChunkCommand(int chunk)
{
    QByteArray command = QByteArray::fromHex("00B0000000");
    command[2] = static_cast<char>(chunk & 0xFF);
    return command;
}
