#pragma once

// Small helpers shared by several test programs.

#include "card/pcsc.h"
#include "monitor/monitorthread.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

namespace testkit {

// Debug output collected by a message handler a test installs.
inline QStringList debugLines;

inline void collectDebug(QtMsgType, const QMessageLogContext&, const QString& message)
{
    debugLines << message;
}

// The card layer's debug line for a failed call.
inline QString failureLine(const char* call, LONG result)
{
    return QString("Failed %1: %2").arg(call).arg(qint32(result));
}

// A trace receiver, as the window is for CARD_HANDLE.
class TraceLog : public QObject
{
    Q_OBJECT
public:
    QStringList lines;
public slots:
    void handleTrace(QString s) { lines << s; }
};

// Collects the monitor's signals in the test thread, as the window does.
class Recorder : public QObject
{
    Q_OBJECT
public:
    explicit Recorder(MonitorThread& monitor)
    {
        connect(&monitor, &MonitorThread::statusChanged, this, &Recorder::onStatus, Qt::QueuedConnection);
        connect(&monitor, &MonitorThread::errorDetected, this, &Recorder::onError, Qt::QueuedConnection);
    }
    QList<ulong> statuses;
    int errors = 0;

public slots:
    void onStatus(ulong status) { statuses.append(status); }
    void onError() { ++errors; }
};

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Text as a form file: byte-order mark, then UTF-16LE.
inline QByteArray utf16le(const QString& text)
{
    QByteArray bytes("\xFF\xFE", 2);
    for (QChar c : text)
        bytes.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
    return bytes;
}

// Expects the byte-order mark; returns a null string without it.
inline QString fromUtf16le(const QByteArray& bytes)
{
    if (!bytes.startsWith("\xFF\xFE"))
        return {};
    QString text;
    for (int i = 2; i + 1 < bytes.size(); i += 2)
        text.append(QChar(char16_t(uchar(bytes[i]) | uchar(bytes[i + 1]) << 8)));
    return text;
}

} // namespace testkit
