#include "tacho/secret.h"

#include <algorithm>

void wipeSecret(QString& text)
{
    if (text.isDetached())
        std::fill(text.data(), text.data() + text.size(), QChar(0));
    text.clear();
}

void wipeSecret(QByteArray& bytes)
{
    if (bytes.isDetached())
        std::fill(bytes.data(), bytes.data() + bytes.size(), '\0');
    bytes.clear();
}
