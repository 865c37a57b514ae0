#include "fakepcsc.h"

#include <QThread>

#include <cstring>
#include <mutex>

namespace FakePcsc {

std::mutex& callLock()
{
    static std::mutex lock;
    return lock;
}

Script& script()
{
    static Script s;
    return s;
}

QStringList& calls()
{
    static QStringList c;
    return c;
}

QList<Qt::HANDLE>& callThreads()
{
    static QList<Qt::HANDLE> t;
    return t;
}

DWORD& lastCurrentState()
{
    static DWORD state = 0;
    return state;
}

QString lastCall()
{
    std::lock_guard<std::mutex> locker(callLock());
    return calls().value(calls().size() - 1);
}

void reset()
{
    script() = Script();
    calls().clear();
    callThreads().clear();
    lastCurrentState() = 0;
}

} // namespace FakePcsc

using FakePcsc::calls;
using FakePcsc::callLock;
using FakePcsc::callThreads;
using FakePcsc::lastCurrentState;
using FakePcsc::script;

namespace {

// Every call is noted with the thread that made it.
struct CallNote
{
    CallNote& operator<<(const QString& line)
    {
        std::lock_guard<std::mutex> locker(callLock());
        callThreads() << QThread::currentThreadId();
        calls() << line;
        return *this;
    }
};
CallNote noteCall()
{
    return {};
}

const SCARDCONTEXT fakeContext = 0x1111;
const SCARDHANDLE fakeCard = 0x2222;

QString protocolName(DWORD protocols)
{
    QStringList names;
    if (protocols & SCARD_PROTOCOL_T0)
        names << "T0";
    if (protocols & SCARD_PROTOCOL_T1)
        names << "T1";
    return names.join('|');
}

} // namespace

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext)
{
    noteCall() << "SCardEstablishContext";
    if (script().establish == SCARD_S_SUCCESS)
        *phContext = fakeContext;
    return script().establish;
}

LONG SCardReleaseContext(SCARDCONTEXT)
{
    noteCall() << "SCardReleaseContext";
    return script().release;
}

LONG SCardIsValidContext(SCARDCONTEXT)
{
    return SCARD_S_SUCCESS;
}

LONG SCardListReaders(SCARDCONTEXT, LPCSTR, LPSTR mszReaders, LPDWORD pcchReaders)
{
    noteCall() << "SCardListReaders";
    if (script().listReaders != SCARD_S_SUCCESS)
        return script().listReaders;
    const QByteArray& names = script().readers;
    if (*pcchReaders == SCARD_AUTOALLOCATE) {
        char* buffer = new char[size_t(names.size())];
        memcpy(buffer, names.constData(), size_t(names.size()));
        *reinterpret_cast<char**>(mszReaders) = buffer;
    } else if (mszReaders) {
        if (*pcchReaders < DWORD(names.size()))
            return SCARD_E_INSUFFICIENT_BUFFER;
        memcpy(mszReaders, names.constData(), size_t(names.size()));
    }
    *pcchReaders = DWORD(names.size());
    return SCARD_S_SUCCESS;
}

LONG SCardFreeMemory(SCARDCONTEXT, LPCVOID pvMem)
{
    noteCall() << "SCardFreeMemory";
    // The buffer is ours either way: free it, whatever we report.
    delete[] static_cast<const char*>(pvMem);
    return script().freeMemory;
}

LONG SCardGetStatusChange(SCARDCONTEXT, DWORD dwTimeout, SCARD_READERSTATE* rgReaderStates, DWORD cReaders)
{
    noteCall() << QString("SCardGetStatusChange %1 %2").arg(dwTimeout).arg(cReaders);
    if (cReaders > 0)
        lastCurrentState() = rgReaderStates[0].dwCurrentState;
    if (script().writeEventState && cReaders > 0)
        rgReaderStates[0].dwEventState = script().eventState;
    return script().getStatusChange;
}

LONG SCardConnect(SCARDCONTEXT, LPCSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                  LPDWORD pdwActiveProtocol)
{
    noteCall()
        << QString("SCardConnect %1 %2 %3").arg(protocolName(dwPreferredProtocols)).arg(dwShareMode).arg(szReader);
    const LONG rv = script().connect.isEmpty() ? SCARD_S_SUCCESS : script().connect.takeFirst();
    if (rv == SCARD_S_SUCCESS) {
        *phCard = fakeCard;
        *pdwActiveProtocol = dwPreferredProtocols;
    }
    return rv;
}

LONG SCardReconnect(SCARDHANDLE, DWORD dwShareMode, DWORD dwPreferredProtocols, DWORD dwInitialization,
                    LPDWORD pdwActiveProtocol)
{
    noteCall() << QString("SCardReconnect %1 %2 %3")
                      .arg(protocolName(dwPreferredProtocols))
                      .arg(dwShareMode)
                      .arg(dwInitialization);
    if (script().reconnect == SCARD_S_SUCCESS)
        *pdwActiveProtocol = dwPreferredProtocols;
    return script().reconnect;
}

LONG SCardDisconnect(SCARDHANDLE, DWORD dwDisposition)
{
    noteCall() << QString("SCardDisconnect %1").arg(dwDisposition);
    return script().disconnect;
}

LONG SCardBeginTransaction(SCARDHANDLE)
{
    noteCall() << "SCardBeginTransaction";
    return script().beginAttempts.isEmpty() ? script().begin : script().beginAttempts.takeFirst();
}

LONG SCardEndTransaction(SCARDHANDLE, DWORD dwDisposition)
{
    noteCall() << QString("SCardEndTransaction %1").arg(dwDisposition);
    return script().end;
}

LONG SCardTransmit(SCARDHANDLE, const SCARD_IO_REQUEST* pioSendPci, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                   SCARD_IO_REQUEST*, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength)
{
    QString line =
        QString("SCardTransmit %1 %2")
            .arg(protocolName(pioSendPci ? pioSendPci->dwProtocol : 0))
            .arg(QString::fromLatin1(
                QByteArray(reinterpret_cast<const char*>(pbSendBuffer), int(cbSendLength)).toHex().toUpper()));
    if (script().duringTransmit)
        line += " " + script().duringTransmit();
    noteCall() << line;
    const LONG rv = script().transmitAttempts.isEmpty() ? script().transmit : script().transmitAttempts.takeFirst();
    if (rv != SCARD_S_SUCCESS)
        return rv;
    const QByteArray answer = script().responses.isEmpty() ? QByteArray("\x90\x00", 2) : script().responses.takeFirst();
    if (DWORD(answer.size()) > *pcbRecvLength)
        return SCARD_E_INSUFFICIENT_BUFFER;
    memcpy(pbRecvBuffer, answer.constData(), size_t(answer.size()));
    *pcbRecvLength = DWORD(answer.size());
    return SCARD_S_SUCCESS;
}

LONG SCardCancel(SCARDCONTEXT)
{
    noteCall() << "SCardCancel";
    return SCARD_S_SUCCESS;
}

LONG SCardStatus(SCARDHANDLE, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD)
{
    return SCARD_E_UNSUPPORTED_FEATURE;
}

LONG SCardControl(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID, DWORD, LPDWORD)
{
    return SCARD_E_UNSUPPORTED_FEATURE;
}

LONG SCardListReaderGroups(SCARDCONTEXT, LPSTR, LPDWORD)
{
    return SCARD_E_UNSUPPORTED_FEATURE;
}

LONG SCardGetAttrib(SCARDHANDLE, DWORD, LPBYTE, LPDWORD)
{
    return SCARD_E_UNSUPPORTED_FEATURE;
}

LONG SCardSetAttrib(SCARDHANDLE, DWORD, LPCBYTE, DWORD)
{
    return SCARD_E_UNSUPPORTED_FEATURE;
}

} // extern "C"
