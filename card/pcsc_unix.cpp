// pcsc-lite: the narrow functions, reader names in UTF-8.

#include "card/pcscnative.h"

namespace pcscnative {

LONG listReaders(SCARDCONTEXT context, QStringList& names, LONG& freeResult)
{
    LPSTR buffer = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG rv = SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&buffer), &length);
    freeResult = SCARD_S_SUCCESS;
    if (rv != SCARD_S_SUCCESS || buffer == nullptr)
        return rv;
    names = splitMultiString(buffer, length, [](const char* name, int size) { return QString::fromUtf8(name, size); });
    freeResult = SCardFreeMemory(context, buffer);
    return rv;
}

LONG getStatusChange(SCARDCONTEXT context, const QString& readerName, DWORD timeout, quint32 currentState,
                     quint32& eventState)
{
    const QByteArray name = readerName.toUtf8();
    SCARD_READERSTATE state{};
    state.szReader = name.constData();
    state.dwCurrentState = currentState;
    state.dwEventState = eventState;
    const LONG rv = SCardGetStatusChange(context, timeout, &state, 1);
    eventState = static_cast<quint32>(state.dwEventState);
    return rv;
}

LONG connect(SCARDCONTEXT context, const QString& readerName, DWORD protocol, SCARDHANDLE& card)
{
    DWORD active = 0;
    return SCardConnect(context, readerName.toUtf8().constData(), SCARD_SHARE_SHARED, protocol, &card, &active);
}

} // namespace pcscnative
