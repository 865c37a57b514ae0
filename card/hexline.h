#pragma once

#include <QByteArray>
#include <QString>

// "00 A4 02 0C ": two upper-case hex digits and one blank per byte.
QString hexByteLine(const QByteArray& bytes);
