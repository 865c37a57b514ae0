#include "app/waitcursor.h"
#include "app/zentavo.h"
#include "ui_zentavo.h"

namespace {

// Results after which the context is dead for good: the service went away.
bool serviceLost(LONG result)
{
    return result == static_cast<LONG>(SCARD_E_NO_SERVICE) || result == static_cast<LONG>(SCARD_F_COMM_ERROR) ||
           result == static_cast<LONG>(SCARD_E_SERVICE_STOPPED) || result == static_cast<LONG>(SCARD_E_INVALID_HANDLE);
}

// Clears a flag on every way out of a scope.
class FlagScope
{
public:
    explicit FlagScope(bool& flag) : m_flag(flag) { m_flag = true; }
    ~FlagScope() { m_flag = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& m_flag;
};

} // namespace

void Zentavo::refreshReaders()
{
    OverrideWaitCursor cursor;
    try {
        fillReaderList();
    } catch (...) {
        handleTrace(QStringLiteral("Ошибка получения списка считывателей карт."));
    }
}

QStringList Zentavo::listReadersOnLiveContext()
{
    LONG result = SCARD_S_SUCCESS;
    QStringList names;
    if (context != 0) {
        names = listReaders(context, &result);
        if (!serviceLost(result))
            return names;
        try {
            releaseContext(context);
        } catch (...) {
        }
        context = 0;
    }
    // The card thread's context died with the window's.
    cardThread.renewContext();
    try {
        context = establishContext();
    } catch (PcscError) {
        return {};
    }
    return listReaders(context);
}

void Zentavo::fillReaderList()
{
    // Readers come and go (a second reader, a docking station, a token): an
    // index may then name another reader, so the reader is found by name. A
    // reader that is gone stays the one wanted: the one shown meanwhile only
    // stands in for it until it is back or the user picks another.
    const QString wantedName = lastReaderName.isEmpty() ? currentReaderName() : lastReaderName;
    const int wanted = currentIndex;
    readers = listReadersOnLiveContext();
    {
        FlagScope guard(refreshing);
        form->cbReaders->clear();
        form->cbReaders->addItems(readers);
    }

    if (readers.isEmpty()) {
        form->bnSelectReader->setEnabled(false);
        currentIndex = -1;
    } else {
        form->bnSelectReader->setEnabled(true);
        const int named = wantedName.isEmpty() ? -1 : static_cast<int>(readers.indexOf(wantedName));
        if (named >= 0)
            currentIndex = named;
        else
            currentIndex = (wanted < 0 || wanted >= readers.size()) ? 0 : wanted;
        form->cbReaders->setCurrentIndex(currentIndex);
    }
    // After the box has taken the index: a change of the box is the user's pick.
    lastReaderName = currentReaderName() == wantedName ? QString() : wantedName;

    fitContentWidth();

    handleTrace(QStringLiteral("Список считывателей карт обновлен"));
    handleTrace(QString::asprintf("Текущий ридер (%d)", currentIndex));
}

void Zentavo::on_cbReaders_currentIndexChanged(int Index)
{
    if (!refreshing) {
        currentIndex = Index;
        lastReaderName.clear();
    }
}

QString Zentavo::currentReaderName() const
{
    if (currentIndex >= 0 && currentIndex < readers.size())
        return readers.at(currentIndex);
    return {};
}

void Zentavo::on_bnSelectReader_clicked()
{
    OverrideWaitCursor cursor;
    if (selectedReader.isEmpty()) {
        if (form->cbReaders->currentText().isEmpty()) {
            handleTrace(QStringLiteral("Выберите считыватель карт из списка"));
            return;
        }
        form->cbReaders->setEnabled(false);
        form->lbRefreshReaderList->hide();
        form->bnSelectReader->setText(QStringLiteral("Отключить"));
        selectedReader = form->cbReaders->currentText();
        // «Отключить» alone does not say what it lets go.
        form->bnSelectReader->setAccessibleDescription(QStringLiteral("Считыватель ") + selectedReader);
        form->bnReadCard->setEnabled(true);
        handleTrace(QStringLiteral("Выбран ") + selectedReader);
        // The service may have restarted since the list was made; the card
        // operations need a live context as much as the monitor does.
        listReadersOnLiveContext();
        // Reports the reader's state at once; a card already inside is read
        // before this returns.
        monitor.selectReader(context, selectedReader);
        updateActions();
    } else {
        monitor.pause();
        // Whatever the card thread does on this reader is of no use now.
        if (operationRunning())
            dropOperation(false);
        handleTrace(selectedReader + QStringLiteral(" отключен"));
        form->cbReaders->setEnabled(true);
        form->bnSelectReader->setText(QStringLiteral("Выбрать"));
        form->bnReadCard->setEnabled(false);
        form->lbRefreshReaderList->show();
        selectedReader.clear();
        form->bnSelectReader->setAccessibleDescription(QString());
        // Nothing became of the card: nothing is said, and whatever the next
        // selection reads is news again.
        cardSeen = false;
        announceCard(QString());
        clearCardInfo();
    }
}
