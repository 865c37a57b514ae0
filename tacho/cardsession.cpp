#include "tacho/cardsession.h"

const char cardBusyLine[] = "Карта занята другой программой. Закройте её или повторите позже.";

namespace {
// Results after which the context is dead for good: the service went away.
bool isServiceLost(LONG result)
{
    return result == static_cast<LONG>(SCARD_E_NO_SERVICE) || result == static_cast<LONG>(SCARD_F_COMM_ERROR) ||
           result == static_cast<LONG>(SCARD_E_SERVICE_STOPPED) || result == static_cast<LONG>(SCARD_E_INVALID_HANDLE);
}
} // namespace

CardAccessBlock currentAccessBlock(LONG* result)
{
    try {
        throw;
    } catch (PcscError error) {
        if (result)
            *result = error;
        return cardAccessBlock(error);
    } catch (...) {
        return CardAccessBlock::None;
    }
}

CardSession::CardSession(SCARDCONTEXT context, const QString& readerName, Link link)
    : m_context(context), m_reader(readerName), m_link(std::move(link))
{}

void CardSession::beginStep(const QString& line, const QString& failureLine)
{
    m_link.step(failureLine);
    m_stepFailure = failureLine;
    if (!line.isEmpty())
        trace(line);
}

CardAccessBlock CardSession::noteFailure()
{
    LONG result = SCARD_S_SUCCESS;
    m_block = currentAccessBlock(&result);
    m_serviceLost = m_serviceLost || isServiceLost(result);
    m_reason = m_stepFailure;
    if (m_block == CardAccessBlock::Busy) {
        m_reason = QString::fromUtf8(cardBusyLine);
        trace(m_reason);
    }
    return m_block;
}
