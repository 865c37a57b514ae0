#include "tacho/secret.h"

#include <algorithm>

void overwriteSecret(QString& text)
{
    if (text.isDetached())
        std::fill(text.data(), text.data() + text.size(), QChar(0));
}

void overwriteSecret(QByteArray& bytes)
{
    if (bytes.isDetached())
        std::fill(bytes.data(), bytes.data() + bytes.size(), '\0');
}

void wipeSecret(QString& text)
{
    overwriteSecret(text);
    text.clear();
}

void wipeSecret(QByteArray& bytes)
{
    overwriteSecret(bytes);
    bytes.clear();
}
