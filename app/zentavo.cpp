#include "app/zentavo.h"

#include "app/accessibility.h"
#include "app/appearance.h"
#include "app/resources.h"
#include "app/waitcursor.h"
#include "card/cardhandle.h"
#include "ui_zentavo.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QLayout>
#include <QScreen>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>

namespace {

const QChar clearLogMark(0x0B);

const char defaultCardTitle[] = "<font size=\"4\"><u>Карта тахографа</u></font>";
const char cardTitleFormat[] = "<font size=\"4\"><u>%s</u></font>";
const char showLogLink[] = "<font size=\"4\"><a href='#trace'>Показать журнал</a></font>";
const char hideLogLink[] = "<font size=\"4\"><a href='#trace'>Спрятать журнал</a></font>";
const char operationFailed[] = "Ошибка выполнения операции.";

} // namespace

Zentavo::Zentavo() : QMainWindow(nullptr), form(new Ui::Zentavo)
{
    initZentavoResources();
    installLinkAccessibility();
    form->setupUi(this);
    for (QLineEdit* field : {form->edCardNumber, form->edSKZINumber})
        presentReadOnlyField(field);
    describeSentence({form->lbVerifyPin, form->lbUnblockPin});

    // Reader names arrive after the first show; let the box follow them rather
    // than keep the width it had while empty.
    form->cbReaders->setSizeAdjustPolicy(QComboBox::AdjustToContents);

    form->lbTraceTitle->setText(QString::fromUtf8(showLogLink));
    form->edLog->setVisible(logVisible);
    for (QLabel* label :
         {form->lbRefreshReaderList, form->lbVerifyPin, form->lbUnblockPin, form->lbShowCert, form->lbTraceTitle})
        focusLinkOnTab(label);

    placeWindow();

    connect(&monitor, &MonitorThread::statusChanged, this, &Zentavo::statusChanged, Qt::QueuedConnection);
    connect(&monitor, &MonitorThread::errorDetected, this, &Zentavo::errorDetected, Qt::QueuedConnection);
    connect(&printer, &CPrintCertificate::signalTrace, this, &Zentavo::handleTrace, Qt::QueuedConnection);
    connect(&cardThread, &CardThread::traced, this, &Zentavo::handleTrace);
    connect(&cardThread, &CardThread::waitingForCard, this, &Zentavo::showCardWait);
    // A job that ended without posting its end (it cannot, but the window
    // must never stay disabled).
    connect(&cardThread, &CardThread::finished, this, [this] {
        cardJobDone();
        if (running != Operation::None && !prompt)
            endOperation();
    });
    connect(form->lbRefreshReaderList, &QLabel::linkActivated, this, &Zentavo::onHyperLink);
    connect(form->lbShowCert, &QLabel::linkActivated, this, &Zentavo::onHyperLink);
    connect(form->lbTraceTitle, &QLabel::linkActivated, this, &Zentavo::onHyperLink);
    connect(form->lbUnblockPin, &QLabel::linkActivated, this, &Zentavo::onHyperLink);
    connect(form->lbVerifyPin, &QLabel::linkActivated, this, &Zentavo::onHyperLink);

    makeCardWaitBar();
    clearCardInfo();
    applyStyleSheet();
    setWindowIcon(QIcon(QStringLiteral(":/Smartcard.ico")));
}

Zentavo::~Zentavo()
{
    // The settings first: a card thread held inside the service may keep
    // the process from ending normally.
    syncSettings(false);
    abandonPrompt();
    cardJobDone();
    // Returns only once the monitor's loop has ended: it must not wait on a
    // reader while the window goes away.
    monitor.stop();
    // A command already at the card is waited for; a PIN command is never
    // cut. The close is over within 3 s all the same.
    cardThread.stop(2500);
    if (context != 0) {
        try {
            releaseContext(context);
        } catch (...) {
        }
    }
    delete form;
}

void Zentavo::closeEvent(QCloseEvent* event)
{
    // An open prompt would keep the program running without its window.
    abandonPrompt();
    QMainWindow::closeEvent(event);
}

void Zentavo::placeWindow()
{
    resize(minimumSize());
    // The whole desktop (all screens), not the available area: centred
    // horizontally, the top edge about a quarter of the way down.
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect desktop = screen->virtualGeometry();
    move((desktop.width() - width()) / 2, ((desktop.height() - height()) / 2) / 2);
}

void Zentavo::fitContentWidth()
{
    const int needed = minimumSizeHint().width();
    if (width() >= needed)
        return;
    resize(needed, height());
    // Grown past the screen's right edge (a large desktop font): back inside.
    const QScreen* screen = this->screen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const int overhang = frameGeometry().right() - area.right();
    if (overhang > 0)
        move(qMax(area.left(), x() - overhang), y());
}

void Zentavo::applyStyleSheet()
{
    QFile file(QStringLiteral(":/style-sheet.css"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const double scale = desktopFontScale();
    const bool themeColours = themeColoursWanted();
    const QString sheet = styleSheetForDesktop(QString::fromUtf8(file.readAll()), themeColours, scale);
    if (sheet.isEmpty())
        return;
    // Links and selections drawn in the theme's colours, moved only where
    // they would not read: on the sheet's white, or on the theme's window.
    // The application's palette, since the style sheet gives every widget its
    // palette from there (the PIN dialog and the message boxes too).
    const QPalette theme = QApplication::palette();
    QApplication::setPalette(readablePalette(theme, themeColours ? theme.color(QPalette::Window) : QColor(Qt::white)));
    setStyleSheet(sheet);
    if (scale == 1.0)
        return;

    // A larger desktop font: the form's fixed widths grow with the text, so
    // that no prompt or number is cut. The window widens for them.
    ensurePolished();
    int promptWidth = 0;
    for (QLabel* prompt : {form->lbCardNumberPrompt, form->lbSKZINumberPrompt})
        promptWidth = qMax(promptWidth, qMax(prompt->minimumWidth(), prompt->sizeHint().width()));
    for (QLabel* prompt : {form->lbCardNumberPrompt, form->lbSKZINumberPrompt})
        prompt->setFixedWidth(promptWidth);
    for (QLineEdit* field : {form->edCardNumber, form->edSKZINumber})
        field->setFixedWidth(scaledPixels(field->minimumWidth(), scale));
}

void Zentavo::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // Restoring a minimised window shows it again: only the first show starts
    // the program's work.
    if (shown)
        return;
    shown = true;

    OverrideWaitCursor cursor;
    try {
        context = establishContext();
    } catch (...) {
        // The card operations will fail and say so; a later refresh retries.
    }
    monitor.start(QThread::InheritPriority);
    syncSettings(true);
    QCoreApplication::processEvents();
    refreshReaders();
    // No reader is selected yet, so the toggle selects the last used one.
    on_bnSelectReader_clicked();
}

void Zentavo::statusChanged(ulong status)
{
    const bool present = status & SCARD_STATE_PRESENT;
    deliverNews(
        [this, present] {
            // A report queued before the reader was released is stale.
            if (selectedReader.isEmpty())
                return;
            if (present) {
                // A new card: its read is said, even when it reads as the last one did.
                cardSeen = true;
                cardNews.clear();
                form->bnReadCard->setEnabled(true);
                handleTrace(QStringLiteral("Обнаружена карта тахографа"));
                on_bnReadCard_clicked();
            } else {
                form->bnReadCard->setEnabled(false);
                clearCardInfo();
                if (cardSeen)
                    announceCard(QStringLiteral("Карта извлечена"));
                cardSeen = false;
                handleTrace(clearLogMark + QStringLiteral("Вставьте карту тахографа"));
            }
        },
        !present);
}

void Zentavo::errorDetected()
{
    deliverNews(
        [this] {
            // A failure queued before the reader was released is stale:
            // handling it would select the released reader again.
            if (selectedReader.isEmpty())
                return;
            handleTrace(QStringLiteral("Ошибка получения статуса считывателя карт"));
            refreshReaders();
            on_bnSelectReader_clicked();
            clearCardInfo();
        },
        true);
}

void Zentavo::on_bnCopy2Clipboard_clicked()
{
    QGuiApplication::clipboard()->setText(cardNumber, QClipboard::Clipboard);
}

void Zentavo::on_readCertButton_clicked()
{
    if (operationRunning())
        return;
    readCertificate(1);
}

void Zentavo::handleTrace(QString s)
{
    QPlainTextEdit* log = form->edLog;
    if (!s.isEmpty() && s.at(0) == clearLogMark) {
        s.remove(0, 1);
        log->clear();
        logHasLines = false;
    }
    if (logHasLines && log->document()->isEmpty()) {
        // appendPlainText would put this line into the empty first one.
        QTextCursor cursor(log->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertBlock();
        cursor.insertText(s);
    } else {
        log->appendPlainText(s);
    }
    logHasLines = true;
}

void Zentavo::onHyperLink(QString link)
{
    if (link == QLatin1String("#trace")) {
        toggleLog();
        return;
    }
    // The card's links start card operations: one at a time.
    const bool cardLink =
        link == QLatin1String("#unblock") || link == QLatin1String("#verify") || link == QLatin1String("#cert");
    if (cardLink && operationRunning())
        return;
    if (link == QLatin1String("#unblock")) {
        unblockPin();
    } else if (link == QLatin1String("#verify")) {
        verifyPin();
    } else if (link == QLatin1String("#readers")) {
        OverrideWaitCursor cursor;
        try {
            fillReaderList();
        } catch (...) {
            logAndShowError(QString::fromUtf8(operationFailed));
        }
    } else if (link == QLatin1String("#cert")) {
        showCertificate();
    }
}

void Zentavo::toggleLog()
{
    logVisible = !logVisible;
    form->lbTraceTitle->setText(QString::fromUtf8(logVisible ? hideLogLink : showLogLink));
    if (form->lbTraceTitle->hasFocus()) {
        // The new text has no focused link: focus it again, so that Return
        // toggles back.
        form->lbTraceTitle->clearFocus();
        form->lbTraceTitle->setFocus(Qt::TabFocusReason);
    }
    form->edLog->setVisible(logVisible);
    if (logVisible)
        return;

    // The layouts let the window grow but never shrink it by themselves.
    form->edLog->resize(form->edLog->width(), 0);
    for (QWidget* widget = form->edLog->parentWidget(); widget; widget = widget->parentWidget()) {
        if (QLayout* layout = widget->layout())
            layout->invalidate();
        widget->adjustSize();
        if (widget == this)
            break;
    }
}

void Zentavo::showCertificate()
{
    readCertificate(0, true);
}

void Zentavo::clearCardInfo()
{
    cardNumber.clear();
    cardType = 0;
    form->edCardNumber->clear();
    form->edSKZINumber->clear();
    showCardTitle(0);
    updateActions();
}

void Zentavo::showCardTitle(int type)
{
    const QString name = cardTypeName(type);
    if (name.isEmpty())
        form->lbCardTitle->setText(QString::fromUtf8(defaultCardTitle));
    else
        form->lbCardTitle->setText(QString::asprintf(cardTitleFormat, name.toUtf8().constData()));
}

void Zentavo::announceCard(const QString& news)
{
    if (news == cardNews)
        return;
    cardNews = news;
    if (!news.isEmpty())
        announce(form->lbCardTitle, news);
}

void Zentavo::updateActions()
{
    const bool ok = !cardNumber.isEmpty() && form->bnReadCard->isEnabled();
    form->bnCopy2Clipboard->setEnabled(ok);
    form->readCertButton->setEnabled(ok);
    form->lbShowCert->setVisible(ok);
    form->lbUnblockPin->setVisible(ok);
    form->lbVerifyPin->setVisible(ok);
    if (ok)
        fitContentWidth();
}
