#include "card/hexline.h"

QString hexByteLine(const QByteArray& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    QString line;
    line.reserve(bytes.size() * 3);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        line += QLatin1Char(digits[b >> 4]);
        line += QLatin1Char(digits[b & 0x0F]);
        line += QLatin1Char(' ');
    }
    return line;
}
