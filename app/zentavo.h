#pragma once

#include "app/cardwaitgate.h"
#include "card/pcsc.h"
#include "certificate/printcertificate.h"
#include "monitor/monitorthread.h"
#include "tacho/cardtype.h"

#include <QMainWindow>
#include <QStringList>

namespace Ui {
class Zentavo;
}

class Zentavo : public QMainWindow
{
    Q_OBJECT
public:
    Zentavo();
    ~Zentavo() override;

    // Operations shared by the window's parts (reader list, card operations).
    QString currentReaderName() const;
    void showCardTitle(int type);
    void clearCardInfo();
    void updateActions();

    // Message boxes: the window's title, one OK button, the framed text.
    void showError(const QString& text);
    void showInfo(const QString& text);
    void logAndShowError(const QString& text);
    static QString decorateMessage(const QString& text);

    void syncSettings(bool load);
    void refreshReaders();

    // Card operations (tacho/): each makes and ends its own card access.
    CardType readCardType();
    QString readCardNumber(const QString& pin);
    QString readSkziNumber();
    void readCardIdentification();
    void promptCardPin(QString& pin);
    QString readCertificate(int mode);
    void verifyPin();
    void unblockPin();

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void on_bnSelectReader_clicked();
    void on_bnCopy2Clipboard_clicked();
    void statusChanged(ulong status);
    void errorDetected();
    void on_cbReaders_currentIndexChanged(int Index);
    void on_bnReadCard_clicked();
    void on_readCertButton_clicked();
    void handleTrace(QString s);
    void onHyperLink(QString link);

private:
    friend class ZentavoTestAccess; // white-box access for the tests

    // The steps of refreshReaders() without its error guard; the "#readers"
    // link lets its own guard report a failure.
    void fillReaderList();
    // Lists the readers on the window's context, replacing a context that the
    // service dropped (it stays dead even after the service is back).
    QStringList listReadersOnLiveContext();
    void toggleLog();
    void showCertificate();
    void applyStyleSheet();
    // Called in the handler of a failed card access: notes why it failed and,
    // when another program had the card, says so in the log.
    CardAccessBlock noteAccessFailure();
    void placeWindow();
    // Widens the window when its content needs more than it has: the fixed
    // 650 pixels are too narrow for some fonts once the card links show.
    void fitContentWidth();

    Ui::Zentavo* form;
    QString selectedReader;
    SCARDCONTEXT context = 0;
    QStringList readers;
    MonitorThread monitor;
    int currentIndex = -1;
    // The reader wanted while it is not listed (from the settings at start,
    // or one that went); empty when it is the current one.
    QString lastReaderName;
    bool refreshing = false;
    bool logVisible = false;
    CardType cardType = 0;
    QString cardNumber;
    CPrintCertificate printer;
    // Why the last card access that failed did so; a read sequence ends at a
    // card held by another program or gone.
    CardAccessBlock lastAccessBlock = CardAccessBlock::None;
    CardWaitGate gate{this};
    bool shown = false;
    // The log has had a line since it was last emptied (an empty first line
    // leaves the document empty, so the document cannot tell).
    bool logHasLines = false;
};
