#include "tacho/answer.h"

bool endsWithSuccess(const QByteArray& answer)
{
    const int n = answer.size();
    return n >= 2 && static_cast<unsigned char>(answer[n - 2]) == 0x90 && answer[n - 1] == 0x00;
}

bool isExactSuccess(const QByteArray& answer)
{
    return hasLayout(answer, 2);
}

bool hasLayout(const QByteArray& answer, int length)
{
    return answer.size() == length && endsWithSuccess(answer);
}

CardType parseCardTypeAnswer(const QByteArray& answer)
{
    if (!hasLayout(answer, 3))
        return 0;
    return static_cast<qint8>(answer[0]);
}

QString parseCardNumberAnswer(const QByteArray& answer)
{
    if (!hasLayout(answer, 18))
        return QString();
    return QString::fromLatin1(answer.constData(), 16);
}

QString parseSkziNumber(const QByteArray& iccData)
{
    QString number;
    for (int i = 9; i < 25 && i < iccData.size(); ++i) {
        const auto byte = static_cast<unsigned char>(iccData[i]);
        if (byte == 0)
            break;
        number += byte < 0x80 ? QChar(byte) : QChar(QChar::ReplacementCharacter);
    }
    return number;
}

int certificateChunkCount(int contentLength)
{
    const int chunks = (contentLength + 4 + 255) / 256;
    return chunks <= MaxCertificateChunks ? chunks : -1;
}
