#pragma once

#include "card/pcsc.h"
#include "certificate/printcertificate.h"
#include "monitor/monitorthread.h"
#include "tacho/cardthread.h"
#include "tacho/cardtype.h"

#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <vector>

namespace Ui {
class Zentavo;
}
class QLabel;
class QPushButton;
class SecretBytes;

class Zentavo : public QMainWindow
{
    Q_OBJECT
public:
    Zentavo();
    ~Zentavo() override;

    // Operations shared by the window's parts (reader list, card operations).
    QString currentReaderName() const;
    void showCardTitle(int type);
    // Tells screen readers what became of the card (read, not readable,
    // taken out), once per change: the same news again says nothing, and an
    // empty one only forgets what was said.
    void announceCard(const QString& news);
    void clearCardInfo();
    void updateActions();

    // Message boxes: the window's title, one OK button, the framed text.
    void showError(const QString& text);
    void showInfo(const QString& text);
    void logAndShowError(const QString& text);
    static QString decorateMessage(const QString& text);

    void syncSettings(bool load);
    void refreshReaders();

    // Card operations: each asks the card thread for its work and returns at
    // once; the window shows what comes back. One at a time: the actions that
    // would start another are disabled meanwhile.
    void readCardIdentification();
    // mode 1 prints the form; 0 saves the certificate file (and opens it when
    // asked to).
    void readCertificate(int mode, bool open = false);
    void verifyPin();
    void unblockPin();
    // An operation is under way (on the card thread, or waiting for a PIN).
    bool operationRunning() const { return running != Operation::None; }
    // Where the last saved certificate went; empty when it was not written.
    const QString& savedCertificatePath() const { return lastSavedPath; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

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
    void showCardWait(bool waiting);
    void cancelCardWait();

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

    enum class Operation
    {
        None,
        Identification,
        Certificate,
        Secret,
    };
    // The window's side of an operation: its actions are disabled, the focus
    // stays where the user left it and comes back there at the end.
    void beginOperation(Operation kind);
    void endOperation();
    // Hands job to the card thread under the wait cursor.
    void startCardJob(CardThread::Job job);
    // A posted result has arrived: the card thread is done with the job.
    void cardJobDone();
    // Gives up the operation under way. byUser: «Отменить» of a wait for
    // another program; otherwise the card or the reader went.
    void dropOperation(bool byUser);
    // The monitor's news, now or once the operation under way has ended.
    void deliverNews(std::function<void()> news, bool endsOperation);
    void runDeferredNews();

    // The identification's steps on the card thread, and their results here.
    // (Static: it runs on the card thread, where the window is only named in
    // what it posts back.)
    static void identificationJob(Zentavo* window, CardSession& session, const QByteArray& verifyCommand,
                                  CardType knownType);
    void showIdentity(CardType type, const QString& number);
    void askCardPin(CardType type);
    void endIdentification(const QString& skziNumber, CardAccessBlock block, const QString& failureReason);
    void forgetCard();
    // A PIN or PUK asked for the identified card, then sent to it.
    void runSecretOperation(int mask, const QString& successText);
    void openPrompt(QDialog* dialog);
    // Closes the prompt without an answer: nothing is sent.
    void abandonPrompt();
    void makeCardWaitBar();

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
    // What screen readers were last told of the card, and whether a card
    // has been reported in the reader since (a removal is said only then).
    QString cardNews;
    bool cardSeen = false;
    CPrintCertificate printer;
    CardThread cardThread;
    Operation running = Operation::None;
    bool waitCursorShown = false;
    bool arrowCursorShown = false;
    QPointer<QWidget> focusBefore;
    QPointer<QWidget> focusMovedTo;
    bool readCardWasEnabled = false;
    // The prompt of the operation under way, and the card events counted
    // when it opened: an answer goes only to the card it was asked for.
    QPointer<QDialog> prompt;
    quint64 cardEvents = 0;
    quint64 promptCardEvents = 0;
    std::vector<std::function<void()>> deferredNews;
    QWidget* cardWaitBar = nullptr;
    QLabel* cardWaitText = nullptr;
    QPushButton* cardWaitCancel = nullptr;
    QString lastSavedPath;
    bool shown = false;
    // The log has had a line since it was last emptied (an empty first line
    // leaves the document empty, so the document cannot tell).
    bool logHasLines = false;
};
