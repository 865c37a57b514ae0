// WinSCard: the W functions, reader names in UTF-16 as QString holds them.

#include "card/pcscnative.h"

namespace pcscnative {

namespace {

LPCWSTR wide(const QString& text)
{
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "WinSCard's WCHAR is UTF-16");
    return reinterpret_cast<LPCWSTR>(text.utf16());
}

} // namespace

LONG listReaders(SCARDCONTEXT context, QStringList& names, LONG& freeResult)
{
    LPWSTR buffer = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG rv = SCardListReadersW(context, nullptr, reinterpret_cast<LPWSTR>(&buffer), &length);
    freeResult = SCARD_S_SUCCESS;
    if (rv != SCARD_S_SUCCESS || buffer == nullptr)
        return rv;
    names = splitMultiString(buffer, length,
                             [](const wchar_t* name, int size) { return QString::fromWCharArray(name, size); });
    freeResult = SCardFreeMemory(context, buffer);
    return rv;
}

LONG getStatusChange(SCARDCONTEXT context, const QString& readerName, DWORD timeout, quint32 currentState,
                     quint32& eventState)
{
    SCARD_READERSTATEW state{};
    state.szReader = wide(readerName);
    state.dwCurrentState = currentState;
    state.dwEventState = eventState;
    const LONG rv = SCardGetStatusChangeW(context, timeout, &state, 1);
    eventState = static_cast<quint32>(state.dwEventState);
    return rv;
}

LONG connect(SCARDCONTEXT context, const QString& readerName, DWORD protocol, SCARDHANDLE& card)
{
    DWORD active = 0;
    return SCardConnectW(context, wide(readerName), SCARD_SHARE_SHARED, protocol, &card, &active);
}

} // namespace pcscnative
