// The main window against a private pcscd with simulated cards: start-up,
// reader list and selection, the monitor's reports, links, log and settings.

#include "app/accessibility.h"
#include "app/zentavo.h"
#include "support/bench.h"
#include "support/zentavo_access.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <memory>

using A = ZentavoTestAccess;

namespace {

const QString insertCardLine = QStringLiteral("Вставьте карту тахографа");
const QString showLogLink = QStringLiteral("<font size=\"4\"><a href='#trace'>Показать журнал</a></font>");
const QString hideLogLink = QStringLiteral("<font size=\"4\"><a href='#trace'>Спрятать журнал</a></font>");
const QString defaultTitle = QStringLiteral("<font size=\"4\"><u>Карта тахографа</u></font>");

// Answers the modal windows that a link action opens: fills the PIN dialog
// and accepts it, and closes each message box after noting what it said.
class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    explicit ModalAnswerer(QString pin = QString()) : pin(std::move(pin))
    {
        connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
        timer.start(20);
    }
    struct Box
    {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        int buttons;
    };
    QList<Box> boxes;
    int pinDialogs = 0;

private slots:
    void poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxes.append({box->icon(), box->windowTitle(), box->text(), int(box->buttons().size())});
            box->button(QMessageBox::Ok)->click();
        } else if (auto* pinEdit = modal->findChild<QLineEdit*>(QStringLiteral("edPin"))) {
            ++pinDialogs;
            pinEdit->setText(pin);
            if (auto* pukEdit = modal->findChild<QLineEdit*>(QStringLiteral("edPuk")))
                pukEdit->setText(QStringLiteral("12345678"));
            if (auto* ok = modal->findChild<QAbstractButton*>(QStringLiteral("btOk")))
                ok->click();
        }
    }

private:
    QTimer timer;
    QString pin;
};

// Counts the modal dialogs that come up (a PIN prompt) and rejects each.
class PromptCounter : public QObject
{
public:
    PromptCounter()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ++count;
                dialog->reject();
            }
        });
        timer.start(20);
    }
    int count = 0;

private:
    QTimer timer;
};

// Receives the URLs that the window hands to the desktop.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

// Contrast as WCAG measures it, from the colours of a rendered widget.
double luminance(QColor c)
{
    auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(QColor a, QColor b)
{
    const double x = luminance(a) + 0.05, y = luminance(b) + 0.05;
    return x > y ? x / y : y / x;
}

struct Ink
{
    QColor text;
    QColor background;
    double ratio = 0;
};

// The text of a grabbed widget against its background. Each row's background
// is its commonest colour (a gradient changes by row); the text's colour is
// the pixel that stands out most; the ratio is the worst over the rows where
// that colour is drawn. margin leaves out frames and rounded corners.
Ink textInk(const QImage& grabbed, int margin = 0)
{
    const QImage image = grabbed.convertToFormat(QImage::Format_RGB32);
    QList<QRgb> rowBackground;
    for (int y = margin; y < image.height() - margin; ++y) {
        QHash<QRgb, int> counts;
        for (int x = margin; x < image.width() - margin; ++x)
            ++counts[image.pixel(x, y)];
        QRgb common = 0;
        int most = -1;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
            if (it.value() > most) {
                most = it.value();
                common = it.key();
            }
        }
        rowBackground.append(common);
    }
    Ink ink;
    double strongest = 0;
    for (int y = margin; y < image.height() - margin; ++y) {
        for (int x = margin; x < image.width() - margin; ++x) {
            const double c = contrast(image.pixel(x, y), rowBackground.at(y - margin));
            if (c > strongest) {
                strongest = c;
                ink.text = image.pixel(x, y);
            }
        }
    }
    ink.ratio = 1e9;
    for (int y = margin; y < image.height() - margin; ++y) {
        for (int x = margin; x < image.width() - margin; ++x) {
            const QColor background = rowBackground.at(y - margin);
            // A row drawn in the text's colour is a line (an underline).
            if (image.pixel(x, y) != ink.text.rgb() || background == ink.text)
                continue;
            if (contrast(ink.text, background) < ink.ratio) {
                ink.ratio = contrast(ink.text, background);
                ink.background = background;
            }
            break;
        }
    }
    return ink;
}

// A widget as the window shows it (with what is drawn behind it).
QImage seen(QWidget* window, QWidget* widget)
{
    return window->grab().toImage().copy(QRect(widget->mapTo(window, QPoint(0, 0)), widget->size()));
}

QString describe(const char* what, const Ink& ink)
{
    return QStringLiteral("%1: %2 on %3, %4:1")
        .arg(QLatin1String(what), ink.text.name(), ink.background.name())
        .arg(ink.ratio, 0, 'f', 3);
}

// The colours a dark desktop theme hands the program (KDE's Breeze Dark).
QPalette darkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x2a, 0x2e, 0x32));
    p.setColor(QPalette::WindowText, QColor(0xfc, 0xfc, 0xfc));
    p.setColor(QPalette::Base, QColor(0x1b, 0x1e, 0x20));
    p.setColor(QPalette::AlternateBase, QColor(0x23, 0x26, 0x29));
    p.setColor(QPalette::Text, QColor(0xfc, 0xfc, 0xfc));
    p.setColor(QPalette::Button, QColor(0x31, 0x36, 0x3b));
    p.setColor(QPalette::ButtonText, QColor(0xfc, 0xfc, 0xfc));
    p.setColor(QPalette::Link, QColor(0x1d, 0x99, 0xf3));
    p.setColor(QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
    p.setColor(QPalette::HighlightedText, QColor(0xfc, 0xfc, 0xfc));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x6e, 0x71, 0x75));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x6e, 0x71, 0x75));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6e, 0x71, 0x75));
    return p;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private:
    PcscBench bench;
    QTemporaryDir settingsDir;

    // The index alone, as an older version leaves it; a name when given.
    static void storeLastReader(const QVariant& value, const QString& name = QString())
    {
        QSettings settings(QStringLiteral("Vestrak"), QStringLiteral("Zentavo"));
        if (value.isValid())
            settings.setValue(QStringLiteral("General/LastReader"), value);
        else
            settings.remove(QStringLiteral("General/LastReader"));
        if (name.isEmpty())
            settings.remove(QStringLiteral("General/LastReaderName"));
        else
            settings.setValue(QStringLiteral("General/LastReaderName"), name);
    }
    static QVariant storedLastReader(const char* key = "General/LastReader")
    {
        QSettings settings(QStringLiteral("Vestrak"), QStringLiteral("Zentavo"));
        return settings.value(QLatin1String(key));
    }

    // A window shown as the program shows it: its first show selects a reader.
    // otherclient holds the card in reader 0 from now on; the guard ends it.
    auto holdCard(QProcess& client, const QString& how, int ms)
    {
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start(QStringLiteral(ZENTAVO_OTHERCLIENT),
                     {"--reader", bench.readerName(0), "--hold-ms", QString::number(ms), how, "--now"});
        QByteArray said;
        const bool holding = QTest::qWaitFor([&] { return (said += client.readAll()).contains("holding"); }, 5000);
        if (!holding)
            qWarning("otherclient did not take the card");
        return qScopeGuard([&client] {
            client.terminate();
            client.waitForFinished(5000);
        });
    }

    // The monitor's report delivered and the card operation it started over.
    static void settle(Zentavo& w)
    {
        QCoreApplication::processEvents();
        QVERIFY(A::waitIdle(w));
    }

    static std::unique_ptr<Zentavo> showWindow()
    {
        auto w = std::make_unique<Zentavo>();
        w->show();
        settle(*w);
        return w;
    }

    static bool logContains(Zentavo& w, const QString& line) { return A::logLines(w).contains(line); }

private slots:
    void initTestCase()
    {
        QVERIFY(settingsDir.isValid());
        // Keep the user's own settings out of reach.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        QVERIFY2(bench.start(), qPrintable(bench.errorString()));
    }

    void init()
    {
        if (!bench.isRunning())
            QVERIFY2(bench.restart(), qPrintable(bench.errorString()));
        storeLastReader(QVariant());
    }

    void formStartsInItsBuiltState()
    {
        Zentavo w;
        QCOMPARE(w.objectName(), QStringLiteral("Zentavo"));
        QCOMPARE(w.windowTitle(), QStringLiteral("Чтение карты тахографа"));
        QCOMPARE(w.minimumWidth(), 650);
        QCOMPARE(w.centralWidget()->objectName(), QStringLiteral("centralWidget"));

        QVERIFY(!A::bnSelectReader(w)->isEnabled());
        QVERIFY(!A::bnCopy2Clipboard(w)->isEnabled());
        QVERIFY(!A::bnReadCard(w)->isEnabled());
        QVERIFY(!A::readCertButton(w)->isEnabled());
        QVERIFY(A::lbVerifyPin(w)->isHidden());
        QVERIFY(A::lbUnblockPin(w)->isHidden());
        QVERIFY(A::lbShowCert(w)->isHidden());
        QVERIFY(A::edLog(w)->isHidden());
        QCOMPARE(A::lbTraceTitle(w)->text(), showLogLink);
        QCOMPARE(A::lbCardTitle(w)->text(), defaultTitle);
        QVERIFY(A::edCardNumber(w)->text().isEmpty());
        QVERIFY(A::edSKZINumber(w)->text().isEmpty());

        // Number fields: focus (to copy from them by keyboard), no editing.
        // The log: focus, no editing.
        QCOMPARE(A::edCardNumber(w)->focusPolicy(), Qt::StrongFocus);
        QVERIFY(A::edCardNumber(w)->isReadOnly());
        QCOMPARE(A::edSKZINumber(w)->focusPolicy(), Qt::StrongFocus);
        QVERIFY(A::edSKZINumber(w)->isReadOnly());
        QCOMPARE(A::edLog(w)->focusPolicy(), Qt::StrongFocus);
        QVERIFY(A::edLog(w)->isReadOnly());
        QVERIFY(!A::edLog(w)->acceptDrops());
        QVERIFY(!A::edLog(w)->isUndoRedoEnabled());

        auto* outer = w.findChild<QLayout*>(QStringLiteral("verticalLayout_4"));
        QVERIFY(outer);
        QCOMPARE(outer->contentsMargins(), QMargins(40, 10, 20, 10));
        auto* log = w.findChild<QLayout*>(QStringLiteral("vLayout_Log"));
        QVERIFY(log);
        QCOMPARE(log->contentsMargins().top(), 10);
        QCOMPARE(log->indexOf(A::edLog(w)), -1); // nested one level down
        QCOMPARE(w.findChild<QLayout*>(QStringLiteral("verticalLayout_6"))->indexOf(A::edLog(w)), 0);

        QVERIFY(w.styleSheet().contains(QStringLiteral("QComboBox::down-arrow")));
        QVERIFY(w.styleSheet().contains(QStringLiteral("font-size: 14px")));
    }

    void iconsAreCompiledIn()
    {
        Zentavo w;
        QList<QSize> sizes = w.windowIcon().availableSizes();
        std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
        QCOMPARE(sizes, (QList<QSize>{{16, 16}, {24, 24}, {32, 32}, {48, 48}, {256, 256}}));
        const QImage arrow(QStringLiteral(":/arrow-down.ico"));
        QCOMPARE(arrow.size(), QSize(16, 16));
        QVERIFY(arrow.hasAlphaChannel());
    }

    void firstShowSelectsTheStoredReader()
    {
        storeLastReader(1);
        auto w = showWindow();
        QCOMPARE(A::readers(*w), (QStringList{bench.readerName(0), bench.readerName(1)}));
        QCOMPARE(A::currentIndex(*w), 1);
        QCOMPARE(A::selectedReader(*w), bench.readerName(1));
        QCOMPARE(w->currentReaderName(), bench.readerName(1));
        QVERIFY(A::context(*w) != 0);
        // The empty reader's report came in during the selection and left
        // only its own line in the log.
        QCOMPARE(A::logLines(*w), QStringList{insertCardLine});
        QVERIFY(!A::bnReadCard(*w)->isEnabled());
        QVERIFY(!A::cbReaders(*w)->isEnabled());
        QCOMPARE(A::bnSelectReader(*w)->text(), QStringLiteral("Отключить"));
    }

    void firstShowLogsTheRefreshAndSelection()
    {
        // Hold back the monitor's report to see the lines before it.
        storeLastReader(0);
        Zentavo w;
        QStringList seen;
        QObject::connect(A::edLog(w)->document(), &QTextDocument::contentsChanged, &w, [&] {
            const QStringList lines = A::logLines(w);
            if (!lines.last().isEmpty() && (seen.isEmpty() || seen.last() != lines.last()))
                seen.append(lines.last());
        });
        w.show();
        QCOMPARE(seen,
                 (QStringList{QStringLiteral("Список считывателей карт обновлен"), QStringLiteral("Текущий ридер (0)"),
                              QStringLiteral("Выбран ") + bench.readerName(0), insertCardLine}));
    }

    void storedIndexIsBroughtIntoRange_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("beyond the list") << QVariant(7);
        QTest::newRow("none listed last time") << QVariant(-1);
        QTest::newRow("missing") << QVariant();
        QTest::newRow("not a number") << QVariant(QStringLiteral("abc"));
    }

    void storedIndexIsBroughtIntoRange()
    {
        QFETCH(QVariant, stored);
        storeLastReader(stored);
        auto w = showWindow();
        QCOMPARE(A::currentIndex(*w), 0);
        QCOMPARE(A::selectedReader(*w), bench.readerName(0));
        QCOMPARE(A::cbReaders(*w)->currentIndex(), 0);
    }

    void withoutAnyReaderNothingCanBeSelected()
    {
        bench.stop();
        auto w = showWindow();
        QCOMPARE(A::currentIndex(*w), -1);
        QVERIFY(A::readers(*w).isEmpty());
        QVERIFY(!A::bnSelectReader(*w)->isEnabled());
        QVERIFY(A::selectedReader(*w).isEmpty());
        QCOMPARE(A::logLines(*w),
                 (QStringList{QStringLiteral("Список считывателей карт обновлен"), QStringLiteral("Текущий ридер (-1)"),
                              QStringLiteral("Выберите считыватель карт из списка")}));

        // Once the service is back, the refresh link finds the readers.
        QVERIFY2(bench.restart(), qPrintable(bench.errorString()));
        A::onHyperLink(*w, QStringLiteral("#readers"));
        QCOMPARE(A::readers(*w).size(), 2);
        QVERIFY(A::bnSelectReader(*w)->isEnabled());
        QCOMPARE(A::currentIndex(*w), 0);
        QCOMPARE(A::logLines(*w).mid(3), (QStringList{QStringLiteral("Список считывателей карт обновлен"),
                                                      QStringLiteral("Текущий ридер (0)")}));
        A::bnSelectReader(*w)->click();
        settle(*w);
        QCOMPARE(A::selectedReader(*w), bench.readerName(0));
        QCOMPARE(A::logLines(*w), QStringList{insertCardLine});
    }

    void insertionReadsTheCardAndRemovalClearsIt()
    {
        SimCard card(&bench, 0);
        SimCard::Profile profile;
        profile.cardNumber = "RUD0000000004242";
        QVERIFY2(card.start(profile, false), qPrintable(card.errorString()));
        auto w = showWindow();
        QCOMPARE(A::selectedReader(*w), bench.readerName(0));
        QVERIFY(!A::bnReadCard(*w)->isEnabled());

        QVERIFY(card.insert());
        QTRY_VERIFY_WITH_TIMEOUT(logContains(*w, QStringLiteral("Обнаружена карта тахографа")), 3000);
        QCOMPARE(A::logLines(*w).first(), insertCardLine);
        // Needs the card operations: the read ran at once.
        QTRY_COMPARE_WITH_TIMEOUT(A::edCardNumber(*w)->text(), QStringLiteral("RUD0000000004242"), 3000);
        QVERIFY(A::waitIdle(*w));
        QVERIFY(A::bnReadCard(*w)->isEnabled());
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("RUD0000000004242"));
        QVERIFY(A::bnCopy2Clipboard(*w)->isEnabled());
        QVERIFY(A::readCertButton(*w)->isEnabled());
        QVERIFY(!A::lbShowCert(*w)->isHidden());
        QVERIFY(A::lbCardTitle(*w)->text() != defaultTitle);
        // The shown links fit: the window widens rather than clip them.
        QVERIFY(w->width() >= w->minimumSizeHint().width());

        QVERIFY(card.remove());
        QTRY_COMPARE_WITH_TIMEOUT(A::logLines(*w), QStringList{insertCardLine}, 3000);
        QVERIFY(!A::bnReadCard(*w)->isEnabled());
        QVERIFY(A::edCardNumber(*w)->text().isEmpty());
        QVERIFY(A::edSKZINumber(*w)->text().isEmpty());
        QCOMPARE(A::lbCardTitle(*w)->text(), defaultTitle);
        QVERIFY(A::lbShowCert(*w)->isHidden());
        QVERIFY(A::lbVerifyPin(*w)->isHidden());
        QVERIFY(A::lbUnblockPin(*w)->isHidden());
        QVERIFY(!A::bnCopy2Clipboard(*w)->isEnabled());
        QCOMPARE(A::cardType(*w), 0);
        QVERIFY(A::cardNumber(*w).isEmpty());
    }

    // Office PCs: the system's probe, token agents and certificate installers
    // take each new card for a moment. Every insertion is identified all the
    // same, with the log of a quiet machine and no PIN prompt.
    void otherProgramsOnTheCardDelayTheReadButDoNotFailIt_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QStringList>("other");
        QTest::addColumn<QString>("handled");
        QTest::newRow("held exclusively 300 ms")
            << 1 << QStringList{"--hold-ms", "300", "--exclusive"} << QStringLiteral("held");
        QTest::newRow("probed 15 times, reset each time")
            << 4 << QStringList{"--probes", "15", "--interval-ms", "60"} << QStringLiteral("probed");
    }

    void otherProgramsOnTheCardDelayTheReadButDoNotFailIt()
    {
        QFETCH(int, type);
        QFETCH(QStringList, other);
        QFETCH(QString, handled);
        SimCard card(&bench, 0);
        SimCard::Profile profile;
        profile.cardType = type;
        profile.cardNumber = "RUD0000000005151";
        QVERIFY2(card.start(profile, false), qPrintable(card.errorString()));

        QProcess client;
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start(QStringLiteral(ZENTAVO_OTHERCLIENT), QStringList{"--reader", bench.readerName(0)} + other);
        QVERIFY(client.waitForReadyRead(5000));
        QCOMPARE(client.readLine().trimmed(), QByteArray("ready"));

        PromptCounter prompts;

        auto w = showWindow();
        const int insertions = 3;
        QByteArray said;
        for (int i = 0; i < insertions; ++i) {
            QVERIFY(card.insert());
            QTRY_COMPARE_WITH_TIMEOUT(A::edCardNumber(*w)->text(), QStringLiteral("RUD0000000005151"), 6000);
            QTRY_VERIFY_WITH_TIMEOUT(!A::edSKZINumber(*w)->text().isEmpty(), 6000);
            QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("RUD0000000005151"));
            const QStringList log = A::logLines(*w);
            QCOMPARE(log.filter(QStringLiteral("Ошибка")), QStringList());
            QCOMPARE(log.filter(QStringLiteral("Чтение")), (QStringList{QStringLiteral("Чтение типа карты тахографа"),
                                                                        QStringLiteral("Чтение номера СКЗИ")}));
            // The other program did have the card.
            QTRY_COMPARE_WITH_TIMEOUT((said += client.readAll()).count(handled.toLatin1()), qsizetype(i + 1), 3000);
            QVERIFY(card.remove());
            QTRY_COMPARE_WITH_TIMEOUT(A::logLines(*w), QStringList{insertCardLine}, 3000);
        }
        QCOMPARE(prompts.count, 0);
    }

    // Another program holds the card while the user asks for its data: the
    // window answers throughout, says that it waits, and reads the card as
    // soon as the other program lets go, without another click.
    void cardHeldByAnotherProgramIsReadOnceFree_data()
    {
        QTest::addColumn<QString>("hold");
        QTest::newRow("exclusive connection") << QStringLiteral("--exclusive");
        QTest::newRow("transaction") << QStringLiteral("--transaction");
    }
    void cardHeldByAnotherProgramIsReadOnceFree()
    {
        QFETCH(QString, hold);
        SimCard card(&bench, 0);
        SimCard::Profile profile;
        profile.cardType = 4;
        profile.cardNumber = "RUK0000000006161";
        QVERIFY2(card.start(profile, true), qPrintable(card.errorString()));
        auto w = showWindow();
        QCOMPARE(A::edCardNumber(*w)->text(), QStringLiteral("RUK0000000006161"));
        QProcess client;
        const auto stopClient = holdCard(client, hold, 3000);
        PromptCounter prompts;

        QElapsedTimer clock;
        qint64 lastTick = 0, longestGap = 0;
        bool waitCursor = false, clicked = false;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            longestGap = qMax(longestGap, now - lastTick);
            lastTick = now;
            const QCursor* cursor = QApplication::overrideCursor();
            waitCursor = waitCursor || (cursor && cursor->shape() == Qt::WaitCursor);
            if (!clicked && now > 700) {
                clicked = true;
                QTest::mouseClick(A::bnReadCard(*w), Qt::LeftButton);
            }
        });
        const int before = int(A::logLines(*w).size());
        clock.start();
        ticker.start(20);
        QTest::mouseClick(A::bnReadCard(*w), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!A::widget<QWidget>(*w, "cardWaitBar")->isHidden(), 2000);
        QVERIFY(A::widget<QPushButton>(*w, "bnCancelWait")->focusPolicy() & Qt::TabFocus);
        QVERIFY(!A::bnReadCard(*w)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!w->operationRunning(), 10000);
        ticker.stop();
        longestGap = qMax(longestGap, clock.elapsed() - lastTick);

        QVERIFY2(clock.elapsed() > 1500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(longestGap < 500, qPrintable(QString::number(longestGap)));
        QVERIFY(waitCursor);
        QVERIFY(clicked);
        // Read once, when free; the click meanwhile started nothing.
        const QStringList lines =
            A::logLines(*w).mid(before).filter(QRegularExpression(QStringLiteral("^(?!Протокол|Команда|Результат)")));
        QCOMPARE(lines, (QStringList{QStringLiteral("Чтение типа карты тахографа"),
                                     QStringLiteral("Карта занята другой программой. Ожидание…"),
                                     QStringLiteral("Чтение номера СКЗИ")}));
        QCOMPARE(prompts.count, 0);
        QCOMPARE(A::edCardNumber(*w)->text(), QStringLiteral("RUK0000000006161"));
        QVERIFY(!A::edSKZINumber(*w)->text().isEmpty());
        QVERIFY(A::widget<QWidget>(*w, "cardWaitBar")->isHidden());
        QVERIFY(A::bnReadCard(*w)->isEnabled());
    }

    // Closed while the card service holds the read (another program's
    // transaction cannot be cut short): the program is gone within 3 s, its
    // settings saved.
    void closingWhileTheServiceHoldsTheReadEndsAtOnce()
    {
        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        auto w = showWindow();
        QProcess client;
        const auto stopClient = holdCard(client, QStringLiteral("--transaction"), 30000);
        A::bnReadCard(*w)->click();
        QTRY_VERIFY_WITH_TIMEOUT(!A::widget<QWidget>(*w, "cardWaitBar")->isHidden(), 2000);
        QElapsedTimer clock;
        clock.start();
        w->close();
        w.reset();
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(CardThread::leftBehind());
        QCOMPARE(QSettings(QStringLiteral("Vestrak"), QStringLiteral("Zentavo"))
                     .value(QStringLiteral("General/LastReaderName"))
                     .toString(),
                 bench.readerName(0));
    }

    void failingMonitorReleasesTheReader()
    {
        auto w = showWindow();
        QCOMPARE(A::selectedReader(*w), bench.readerName(0));
        const int before = A::logLines(*w).size();

        bench.stop();
        QTRY_VERIFY_WITH_TIMEOUT(A::selectedReader(*w).isEmpty(), 3000);
        QCOMPARE(A::logLines(*w).mid(before),
                 (QStringList{QStringLiteral("Ошибка получения статуса считывателя карт"),
                              QStringLiteral("Список считывателей карт обновлен"), QStringLiteral("Текущий ридер (-1)"),
                              bench.readerName(0) + QStringLiteral(" отключен")}));
        QVERIFY(A::cbReaders(*w)->isEnabled());
        QVERIFY(!A::bnSelectReader(*w)->isEnabled());
        QVERIFY(!A::bnReadCard(*w)->isEnabled());
        QCOMPARE(A::bnSelectReader(*w)->text(), QStringLiteral("Выбрать"));
        QVERIFY(!A::lbRefreshReaderList(*w)->isHidden());

        // The service comes back: refresh, select, and the monitor reports.
        QVERIFY2(bench.restart(), qPrintable(bench.errorString()));
        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        A::onHyperLink(*w, QStringLiteral("#readers"));
        QVERIFY(A::bnSelectReader(*w)->isEnabled());
        A::bnSelectReader(*w)->click();
        settle(*w);
        QCOMPARE(A::selectedReader(*w), bench.readerName(0));
        QVERIFY(logContains(*w, QStringLiteral("Обнаружена карта тахографа")));
        // Needs the card operations: the window's renewed context reads the card.
        QCOMPARE(A::edCardNumber(*w)->text(), QStringLiteral("RUD0000000000001"));
    }

    void failedFirstWaitReleasesInsideTheSelection()
    {
        auto w = showWindow();
        A::bnSelectReader(*w)->click();
        settle(*w); // release; the list still names the readers
        bench.stop();
        const int before = A::logLines(*w).size();

        A::bnSelectReader(*w)->click();
        settle(*w);
        // The monitor's failure was handled before the toggle returned.
        QVERIFY(A::selectedReader(*w).isEmpty());
        QCOMPARE(A::logLines(*w).mid(before),
                 (QStringList{QStringLiteral("Выбран ") + bench.readerName(0),
                              QStringLiteral("Ошибка получения статуса считывателя карт"),
                              QStringLiteral("Список считывателей карт обновлен"), QStringLiteral("Текущий ридер (-1)"),
                              bench.readerName(0) + QStringLiteral(" отключен")}));
        QVERIFY(!A::bnReadCard(*w)->isEnabled());
        QVERIFY(A::cbReaders(*w)->isEnabled());
        QCOMPARE(A::bnSelectReader(*w)->text(), QStringLiteral("Выбрать"));
    }

    void toggleSwitchesTheWidgetsBothWays()
    {
        auto w = showWindow();
        QCOMPARE(A::selectedReader(*w), bench.readerName(0));
        QVERIFY(!A::cbReaders(*w)->isEnabled());
        QVERIFY(A::lbRefreshReaderList(*w)->isHidden());
        QVERIFY(MonitorTestAccess::waitContext(A::monitor(*w)) != 0);

        // The log keeps its lines over a release.
        const QStringList beforeRelease = A::logLines(*w);
        A::bnSelectReader(*w)->click();
        settle(*w);
        QVERIFY(A::selectedReader(*w).isEmpty());
        QVERIFY(A::cbReaders(*w)->isEnabled());
        QCOMPARE(A::bnSelectReader(*w)->text(), QStringLiteral("Выбрать"));
        QVERIFY(!A::bnReadCard(*w)->isEnabled());
        QVERIFY(!A::lbRefreshReaderList(*w)->isHidden());
        QVERIFY(MonitorTestAccess::paused(A::monitor(*w)));
        QCOMPARE(A::logLines(*w), beforeRelease + QStringList{bench.readerName(0) + QStringLiteral(" отключен")});

        // Another reader picked in the combo box becomes the current one.
        A::cbReaders(*w)->setCurrentIndex(1);
        QCOMPARE(A::currentIndex(*w), 1);
        A::bnSelectReader(*w)->click();
        settle(*w);
        QCOMPARE(A::selectedReader(*w), bench.readerName(1));
        QCOMPARE(w->currentReaderName(), bench.readerName(1));
        QVERIFY(!MonitorTestAccess::paused(A::monitor(*w)));
    }

    void selectingAReaderWithACardReadsItBeforeReturning()
    {
        SimCard card(&bench, 1);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        auto w = showWindow();
        A::bnSelectReader(*w)->click();
        settle(*w); // release reader 0
        A::cbReaders(*w)->setCurrentIndex(1);
        A::bnSelectReader(*w)->click();
        settle(*w);
        QVERIFY(logContains(*w, QStringLiteral("Обнаружена карта тахографа")));
        QVERIFY(A::bnReadCard(*w)->isEnabled());
        // Needs the card operations.
        QCOMPARE(A::edCardNumber(*w)->text(), QStringLiteral("RUD0000000000001"));
        QVERIFY(A::bnCopy2Clipboard(*w)->isEnabled());

        // Releasing with the card inside forgets the card data.
        A::bnSelectReader(*w)->click();
        settle(*w);
        QVERIFY(A::edCardNumber(*w)->text().isEmpty());
        QVERIFY(A::lbShowCert(*w)->isHidden());
        QVERIFY(!A::bnCopy2Clipboard(*w)->isEnabled());
    }

    void unknownLinksDoNothing()
    {
        auto w = showWindow();
        ModalAnswerer answerer;
        const QStringList log = A::logLines(*w);
        for (const char* link : {"", "#TRACE", "trace", "#trace ", "#readers#", "http://example.org/"})
            A::onHyperLink(*w, QString::fromLatin1(link));
        QCOMPARE(A::logLines(*w), log);
        QVERIFY(!A::logVisible(*w));
        QCOMPARE(A::lbTraceTitle(*w)->text(), showLogLink);
        QVERIFY(answerer.boxes.isEmpty());
    }

    void logToggleShowsAndShrinksBack()
    {
        auto w = showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        const int closedHeight = w->height();

        A::onHyperLink(*w, QStringLiteral("#trace"));
        QVERIFY(A::logVisible(*w));
        QVERIFY(A::edLog(*w)->isVisible());
        QCOMPARE(A::lbTraceTitle(*w)->text(), hideLogLink);
        QTRY_VERIFY_WITH_TIMEOUT(w->height() > closedHeight, 2000);
        const int openHeight = w->height();

        A::onHyperLink(*w, QStringLiteral("#trace"));
        QVERIFY(!A::logVisible(*w));
        QVERIFY(A::edLog(*w)->isHidden());
        QCOMPARE(A::lbTraceTitle(*w)->text(), showLogLink);
        QTRY_COMPARE_WITH_TIMEOUT(w->height(), w->sizeHint().height(), 2000);
        QVERIFY2(w->height() < openHeight, qPrintable(QString::number(w->height())));
        QVERIFY(w->width() >= 650);
        // The lines survive hiding.
        QCOMPARE(A::logLines(*w), QStringList{insertCardLine});
    }

    void traceLinesAreParagraphsAndTheMarkClears()
    {
        Zentavo w;
        A::handleTrace(w, QStringLiteral("one"));
        A::handleTrace(w, QString());
        A::handleTrace(w, QStringLiteral("two"));
        QCOMPARE(A::logLines(w), (QStringList{"one", "", "two"}));
        QCOMPARE(A::edLog(w)->document()->blockCount(), 3);

        A::handleTrace(w, QChar(0x0B) + QStringLiteral("fresh"));
        QCOMPARE(A::logLines(w), QStringList{"fresh"});
        // A mark in the middle is no mark.
        A::handleTrace(w, QStringLiteral("a") + QChar(0x0B));
        QCOMPARE(A::logLines(w).size(), 2);

        A::handleTrace(w, QString(QChar(0x0B)));
        QCOMPARE(A::edLog(w)->toPlainText(), QString());
        A::handleTrace(w, QStringLiteral("after"));
        QCOMPARE(A::logLines(w), (QStringList{"", "after"}));
    }

    void cardInfoHelpersFollowTheCardData()
    {
        Zentavo w;
        w.showCardTitle(2);
        QCOMPARE(A::lbCardTitle(w)->text(), QStringLiteral("<font size=\"4\"><u>Карта мастерской</u></font>"));
        w.showCardTitle(4);
        QCOMPARE(A::lbCardTitle(w)->text(), QStringLiteral("<font size=\"4\"><u>Карта предприятия</u></font>"));
        w.showCardTitle(9);
        QCOMPARE(A::lbCardTitle(w)->text(), defaultTitle);

        // Card data alone is not enough: the read button must be enabled too.
        A::cardNumber(w) = QStringLiteral("RUD1");
        w.updateActions();
        QVERIFY(!A::bnCopy2Clipboard(w)->isEnabled());
        A::bnReadCard(w)->setEnabled(true);
        w.updateActions();
        QVERIFY(A::bnCopy2Clipboard(w)->isEnabled());
        QVERIFY(A::readCertButton(w)->isEnabled());
        QVERIFY(!A::lbShowCert(w)->isHidden());
        QVERIFY(!A::lbVerifyPin(w)->isHidden());
        QVERIFY(!A::lbUnblockPin(w)->isHidden());

        A::copyToClipboard(w);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("RUD1"));

        A::cardType(w) = 1;
        A::edCardNumber(w)->setText(QStringLiteral("RUD1"));
        A::edSKZINumber(w)->setText(QStringLiteral("SKZI"));
        w.clearCardInfo();
        QCOMPARE(A::cardType(w), 0);
        QVERIFY(A::cardNumber(w).isEmpty());
        QVERIFY(A::edCardNumber(w)->text().isEmpty());
        QVERIFY(A::edSKZINumber(w)->text().isEmpty());
        QVERIFY(!A::bnCopy2Clipboard(w)->isEnabled());
        QVERIFY(A::lbShowCert(w)->isHidden());
    }

    void staleCardReportAfterReleaseIsIgnored()
    {
        auto w = showWindow();
        A::bnSelectReader(*w)->click();
        settle(*w);
        QVERIFY(A::selectedReader(*w).isEmpty());
        const QStringList log = A::logLines(*w);
        A::statusChanged(*w, 0x20);
        QVERIFY(!A::bnReadCard(*w)->isEnabled());
        QCOMPARE(A::logLines(*w), log);
    }

    void staleFailureAfterReleaseIsIgnored()
    {
        auto w = showWindow();
        QCOMPARE(A::selectedReader(*w), bench.readerName(0));
        // A failed wait queued just before the user's release.
        emit A::monitor(*w).errorDetected();
        A::bnSelectReader(*w)->click();
        settle(*w);
        const QStringList log = A::logLines(*w);
        QCoreApplication::processEvents();
        QVERIFY(A::selectedReader(*w).isEmpty());
        QCOMPARE(A::bnSelectReader(*w)->text(), QStringLiteral("Выбрать"));
        QVERIFY(MonitorTestAccess::paused(A::monitor(*w)));
        QCOMPARE(A::logLines(*w), log);
    }

    void doubleClickOnSelectEndsReleasedAndPaused()
    {
        auto w = showWindow();
        QPushButton* button = A::bnSelectReader(*w);
        button->click(); // release
        QCOMPARE(button->text(), QStringLiteral("Выбрать"));

        // The second click of a double click is still queued while the first
        // one's selection processes events.
        const QPoint centre = button->rect().center();
        const QPoint global = button->mapToGlobal(centre);
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
            QCoreApplication::postEvent(
                button,
                new QMouseEvent(type, centre, global, Qt::LeftButton,
                                type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier));
        QTest::mouseClick(button, Qt::LeftButton);
        QCoreApplication::processEvents();
        QVERIFY(A::logLines(*w).endsWith(bench.readerName(0) + QStringLiteral(" отключен")));

        QVERIFY(A::selectedReader(*w).isEmpty());
        QCOMPARE(button->text(), QStringLiteral("Выбрать"));
        QVERIFY(MonitorTestAccess::paused(A::monitor(*w)));
        // Nor does a later selection start from a stale state.
        button->click();
        QCOMPARE(A::selectedReader(*w), bench.readerName(0));
        QVERIFY(!MonitorTestAccess::paused(A::monitor(*w)));
    }

    void reportWithNeitherBitMeansNoCard()
    {
        auto w = showWindow();
        A::handleTrace(*w, QStringLiteral("older line"));
        A::bnReadCard(*w)->setEnabled(true);
        A::statusChanged(*w, 0);
        QVERIFY(!A::bnReadCard(*w)->isEnabled());
        QCOMPARE(A::logLines(*w), QStringList{insertCardLine});
        QCOMPARE(A::lbCardTitle(*w)->text(), defaultTitle);
    }

    void settingsRoundTrip()
    {
        storeLastReader(0);
        {
            auto w = showWindow();
            A::bnSelectReader(*w)->click();
            settle(*w);
            A::cbReaders(*w)->setCurrentIndex(1);
            QCOMPARE(A::currentIndex(*w), 1);
        }
        QCOMPARE(storedLastReader().toInt(), 1);
        QCOMPARE(storedLastReader("General/LastReaderName").toString(), bench.readerName(1));
        {
            auto w = showWindow();
            QCOMPARE(A::selectedReader(*w), bench.readerName(1));
        }

        bench.stop();
        {
            auto w = showWindow();
            QCOMPARE(A::currentIndex(*w), -1);
        }
        QCOMPARE(storedLastReader().toInt(), -1);
        // No reader listed at the end: the name of the last one is kept.
        QCOMPARE(storedLastReader("General/LastReaderName").toString(), bench.readerName(1));
    }

    // The set of readers changed since the last run: the index names another
    // reader now, the name the one the user chose.
    void storedNameWinsOverTheIndex()
    {
        storeLastReader(0, bench.readerName(1));
        {
            auto w = showWindow();
            QCOMPARE(A::currentIndex(*w), 1);
            QCOMPARE(A::selectedReader(*w), bench.readerName(1));
        }
        storeLastReader(1, QStringLiteral("Reader that is gone"));
        {
            auto w = showWindow();
            QCOMPARE(A::selectedReader(*w), bench.readerName(1));
        }
    }

    void restoringTheWindowChangesNothing()
    {
        auto w = showWindow();
        const SCARDCONTEXT context = A::context(*w);
        const QStringList log = A::logLines(*w);
        w->showMinimized();
        w->showNormal();
        w->hide();
        w->show();
        QCOMPARE(A::context(*w), context);
        QCOMPARE(A::logLines(*w), log);
        QCOMPARE(A::selectedReader(*w), bench.readerName(0));
    }

    void cardErrorInALinkShowsTheStatusWord()
    {
        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        auto w = showWindow();
        QCOMPARE(A::edCardNumber(*w)->text(), QStringLiteral("RUD0000000000001"));
        const QStringList log = A::logLines(*w);

        // Needs the PIN operation: a wrong PIN answers 63 C2.
        ModalAnswerer answerer(QStringLiteral("9999"));
        A::onHyperLink(*w, QStringLiteral("#verify"));
        QCOMPARE(answerer.pinDialogs, 1);
        QCOMPARE(answerer.boxes.size(), 1);
        const auto box = answerer.boxes.first();
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.title, QStringLiteral("Чтение карты тахографа"));
        QCOMPARE(box.buttons, 1);
        QCOMPARE(box.text, QStringLiteral("\nОшибка выполнения операции.\n\n(0x63C2)\n«Warning: Verify fail, 2 tries "
                                          "left»             \n"));
        // The box's text is not logged.
        QVERIFY(!A::logLines(*w).mid(log.size()).join('\n').contains(QStringLiteral("Ошибка выполнения")));
    }

    void otherFailureInALinkIsLoggedAndShown()
    {
        auto w = showWindow(); // reader 0 is empty: connecting fails
        ModalAnswerer answerer(QStringLiteral("1234"));
        A::onHyperLink(*w, QStringLiteral("#unblock"));
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes.first().icon, QMessageBox::Critical);
        QCOMPARE(answerer.boxes.first().text, QStringLiteral("\nОшибка выполнения операции.             \n"));
        QCOMPARE(A::logLines(*w).last(), QStringLiteral("Ошибка выполнения операции."));
    }

    void certificateLinkOpensALocalFileUrl()
    {
        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        auto w = showWindow();
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        A::onHyperLink(*w, QStringLiteral("#cert"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        // Needs the certificate read.
        QCOMPARE(catcher.urls.size(), 1);
        const QUrl url = catcher.urls.first();
        QVERIFY(url.isLocalFile());
        QVERIFY2(url.toString().startsWith(QStringLiteral("file:///")) &&
                     !url.toString().startsWith(QStringLiteral("file:////")),
                 qPrintable(url.toString()));
        QVERIFY(QFileInfo::exists(url.toLocalFile()));
    }

    void closingWhileTheMonitorWaitsReturnsAfterTheLoopEnded()
    {
        auto w = showWindow();
        MonitorThread& monitor = A::monitor(*w);
        QVERIFY(!MonitorTestAccess::paused(monitor));
        std::atomic<bool> finished{false};
        QObject::connect(
            &monitor, &QThread::finished, &monitor, [&] { finished = true; }, Qt::DirectConnection);
        QTest::qWait(150); // land inside a 500 ms wait
        QElapsedTimer timer;
        timer.start();
        w.reset();
        QVERIFY(finished);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    }

    // Keyboard users: every action in reading order, one Tab stop per link,
    // Return does what a click does; the numbers copy with Ctrl+C. The mouse
    // still activates a link without taking the focus.
    void keyboardReachesEveryActionInReadingOrder()
    {
        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        auto w = showWindow();
        QApplication::setActiveWindow(w.get());
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QCOMPARE(A::edSKZINumber(*w)->text(), QStringLiteral("SKZI000000000001"));

        A::bnSelectReader(*w)->setFocus(Qt::TabFocusReason);
        QStringList stops;
        QStringList links;
        for (int i = 0; i < 10; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            stops << QApplication::focusWidget()->objectName();
            if (auto* label = qobject_cast<QLabel*>(QApplication::focusWidget()))
                links << label->selectedText();
        }
        QCOMPARE(stops, (QStringList{"edCardNumber", "bnCopy2Clipboard", "edSKZINumber", "lbVerifyPin", "lbUnblockPin",
                                     "bnReadCard", "readCertButton", "lbShowCert", "lbTraceTitle", "bnSelectReader"}));
        // Each link is focused as soon as its label is.
        QCOMPARE(links, (QStringList{"проверить ПИН-код", "разблокировать ПИН-код", "Показать сертификат",
                                     "Показать журнал"}));

        auto tabTo = [&](QWidget* target) {
            // A closed modal window may leave the window inactive for a moment.
            QApplication::setActiveWindow(w.get());
            if (!QTest::qWaitForWindowActive(w.get()) || !QApplication::focusWidget())
                return false;
            for (int i = 0; i < 20 && QApplication::focusWidget() != target; ++i)
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            return QApplication::focusWidget() == target;
        };
        QVERIFY(tabTo(A::edSKZINumber(*w)));
        QTest::keyClick(A::edSKZINumber(*w), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("SKZI000000000001"));
        QVERIFY(tabTo(A::bnCopy2Clipboard(*w)));
        QTest::keyClick(A::bnCopy2Clipboard(*w), Qt::Key_Return);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("RUD0000000000001"));

        // Return on the log link shows the log and, pressed again, hides it.
        QVERIFY(tabTo(A::lbTraceTitle(*w)));
        QTest::keyClick(A::lbTraceTitle(*w), Qt::Key_Return);
        QVERIFY(A::logVisible(*w));
        QTest::keyClick(A::lbTraceTitle(*w), Qt::Key_Return);
        QVERIFY(!A::logVisible(*w));

        {
            ModalAnswerer answerer(QStringLiteral("1234"));
            QVERIFY(tabTo(A::lbVerifyPin(*w)));
            QTest::keyClick(A::lbVerifyPin(*w), Qt::Key_Return);
            QVERIFY(A::waitIdle(*w));
            QCOMPARE(answerer.pinDialogs, 1);
            QCOMPARE(answerer.boxes.size(), 1);
            QVERIFY(answerer.boxes.first().text.contains(QStringLiteral("успешно")));
        }

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        QVERIFY(tabTo(A::lbShowCert(*w)));
        QTest::keyClick(A::lbShowCert(*w), Qt::Key_Return);
        QVERIFY(A::waitIdle(*w));
        QCOMPARE(catcher.urls.size(), 1);
        // The focus came back to the link once the read was over.
        QCOMPARE(QApplication::focusWidget(), A::lbShowCert(*w));
        QVERIFY(tabTo(A::readCertButton(*w)));
        QTest::mouseClick(A::lbShowCert(*w), Qt::LeftButton, {}, QPoint(4, A::lbShowCert(*w)->height() / 2));
        QVERIFY(A::waitIdle(*w));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(catcher.urls.size(), 2);
        QCOMPARE(QApplication::focusWidget(), A::readCertButton(*w));

        QVERIFY(tabTo(A::bnSelectReader(*w)));
        QTest::keyClick(A::bnSelectReader(*w), Qt::Key_Return);
        QVERIFY(A::selectedReader(*w).isEmpty());
        // Released: the refresh link is back, and in the Tab order.
        QVERIFY(tabTo(A::lbRefreshReaderList(*w)));
        QCOMPARE(A::lbRefreshReaderList(*w)->selectedText(), QStringLiteral("обновить список"));
    }

    // What a screen reader finds: fields named by their prompts, the log by
    // its name, the links as links that say what they do and can be pressed.
    void screenReadersFindNamesRolesAndRelations()
    {
        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        auto w = showWindow();
        QCOMPARE(A::edCardNumber(*w)->text(), QStringLiteral("RUD0000000000001"));

        const struct
        {
            QWidget* field;
            QLabel* prompt;
            QAccessible::Role role;
            const char* name;
        } fields[] = {
            {A::edCardNumber(*w), A::widget<QLabel>(*w, "lbCardNumberPrompt"), QAccessible::EditableText,
             "Номер карты:"},
            {A::edSKZINumber(*w), A::widget<QLabel>(*w, "lbSKZINumberPrompt"), QAccessible::EditableText,
             "Номер СКЗИ:"},
            {A::cbReaders(*w), A::widget<QLabel>(*w, "crLabel"), QAccessible::ComboBox, "Выберите считыватель карты:"},
        };
        for (const auto& f : fields) {
            QAccessibleInterface* field = QAccessible::queryAccessibleInterface(f.field);
            QVERIFY(field);
            QCOMPARE(field->role(), f.role);
            // On Linux a combo box's name is its value and AT-SPI gives the
            // label through the relation; elsewhere the name is the label's.
#ifdef Q_OS_UNIX
            if (f.role != QAccessible::ComboBox)
#endif
                QCOMPARE(field->text(QAccessible::Name).trimmed(), QString::fromUtf8(f.name));
            const auto labels = field->relations(QAccessible::Label);
            QCOMPARE(labels.size(), 1);
            QCOMPARE(labels.first().first->object(), f.prompt);
        }
        QVERIFY(QAccessible::queryAccessibleInterface(A::edSKZINumber(*w))->state().readOnly);
        QVERIFY(QAccessible::queryAccessibleInterface(A::edSKZINumber(*w))->state().focusable);
        // The numbers are taken whole: one attribute run over all of the
        // text, also asked at its end, and characters where they are drawn.
        for (QLineEdit* edit : {A::edCardNumber(*w), A::edSKZINumber(*w)}) {
            QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(edit)->textInterface();
            const int count = text->characterCount();
            QCOMPARE(text->text(0, count), edit->text());
            for (int offset : {count, 0, count / 2, count - 1}) {
                int start = -1, end = -1;
                text->attributes(offset, &start, &end);
                QCOMPARE(qMakePair(start, end), qMakePair(0, count));
                const int at = qMin(offset, count - 1);
                const QRect r = text->characterRect(at);
                QCOMPARE(edit->cursorPositionAt(edit->mapFromGlobal(r.topLeft()) + QPoint(1, 0)), at);
                QCOMPARE(text->offsetAtPoint(r.center()), at);
            }
        }
        QAccessibleInterface* log = QAccessible::queryAccessibleInterface(A::edLog(*w));
        QCOMPARE(log->text(QAccessible::Name), QStringLiteral("Журнал"));

        const char pinSentence[] = "Вы можете проверить ПИН-код, а также разблокировать ПИН-код Вашей карты.";
        const struct
        {
            QLabel* label;
            const char* name;
            const char* description;
        } links[] = {
            {A::lbRefreshReaderList(*w), "обновить список", "Вы можете обновить список считывателей карт тахографов."},
            {A::lbVerifyPin(*w), "проверить ПИН-код", pinSentence},
            {A::lbUnblockPin(*w), "разблокировать ПИН-код", pinSentence},
            {A::lbShowCert(*w), "Показать сертификат", ""},
            {A::lbTraceTitle(*w), "Показать журнал", ""},
        };
        for (const auto& l : links) {
            QAccessibleInterface* link = QAccessible::queryAccessibleInterface(l.label);
            QCOMPARE(link->role(), QAccessible::Link);
            QCOMPARE(link->text(QAccessible::Name), QString::fromUtf8(l.name));
            QCOMPARE(link->text(QAccessible::Description), QString::fromUtf8(l.description));
            QVERIFY(link->state().focusable);
            QVERIFY(link->actionInterface());
            QVERIFY(link->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
        }
        // Pressed by the screen reader, the log link acts, and its name follows.
        QAccessibleInterface* logLink = QAccessible::queryAccessibleInterface(A::lbTraceTitle(*w));
        logLink->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QVERIFY(A::logVisible(*w));
        QCOMPARE(logLink->text(QAccessible::Name), QStringLiteral("Спрятать журнал"));
        // Plain labels stay plain.
        QCOMPARE(QAccessible::queryAccessibleInterface(A::lbCardTitle(*w))->role(), QAccessible::StaticText);
    }

    // What became of the card is said once, as a notification, wherever the
    // focus is: a second read, a second report of no card and a release say
    // nothing. «Отключить» names the reader it lets go while it does.
    void cardNewsIsAnnouncedOnce_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("trouble");
        // Said at: insertion, a second read, [a read while held,] removal, a second report, release.
        QTest::addColumn<QStringList>("said");
        const QString gone = QStringLiteral("Карта извлечена");
        const QString busy = QStringLiteral("Карта занята другой программой. Закройте её или повторите позже.");
        QTest::newRow("driver card") << 1 << ""
                                     << QStringList{"Карта водителя, номер RUD0000001234500", "", gone, "", ""};
        QTest::newRow("type unreadable") << 2 << "type"
                                         << QStringList{"Ошибка чтения типа карты тахографа.", "", gone, "", ""};
        QTest::newRow("held by another program")
            << 4 << "held" << QStringList{"Карта предприятия, номер RUD0000001234500", "", busy, gone, "", ""};
    }
    void cardNewsIsAnnouncedOnce()
    {
        QFETCH(int, type);
        QFETCH(QString, trouble);
        QFETCH(QStringList, said);
        SimCard card(&bench, 0);
        SimCard::Profile profile;
        profile.cardType = type;
        profile.cardNumber = "RUD0000001234500";
        profile.protectCardNumber = false;
        // The type's own file is read only when GET DATA is refused.
        profile.getDataSupported = trouble != QLatin1String("type");
        profile.faultCommand = QByteArray::fromHex("00B0000001");
        profile.faultSw = 0x6A82;
        QVERIFY2(card.start(profile, false), qPrintable(card.errorString()));
        auto w = showWindow();
        QStringList heard;
        QAccessible::Id last = 0;
        auto step = [&] {
            const QAccessible::Id id = QAccessible::uniqueId(shownNotice(A::lbCardTitle(*w)));
            heard << (id != last ? QAccessible::accessibleInterface(id)->text(QAccessible::Name) : QString());
            last = id;
        };
        QVERIFY(card.insert());
        QTRY_VERIFY_WITH_TIMEOUT(shownNotice(A::lbCardTitle(*w)), 6000);
        step();
        A::readCard(*w);
        step();
        if (trouble == QLatin1String("held")) {
            QProcess client;
            const auto stopClient = holdCard(client, QStringLiteral("--exclusive"), 30000);
            A::cancelCardWaits(*w);
            A::readCard(*w);
            step();
        }
        QVERIFY(card.remove());
        QTRY_VERIFY_WITH_TIMEOUT(QAccessible::uniqueId(shownNotice(A::lbCardTitle(*w))) != last, 6000);
        step();
        A::statusChanged(*w, 0x10);
        step();
        QAccessibleInterface* toggle = QAccessible::queryAccessibleInterface(A::bnSelectReader(*w));
        QCOMPARE(toggle->text(QAccessible::Description), QStringLiteral("Считыватель ") + bench.readerName(0));
        A::selectReaderToggle(*w);
        QCOMPARE(toggle->text(QAccessible::Description), QString());
        step();
        QCOMPARE(heard, said);
        QCOMPARE(shownNotice(A::lbCardTitle(*w))->role(), QAccessible::Notification);
    }

    void textReadsOnLightAndDarkDesktops_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark (Breeze Dark)") << true;
    }

    // Every text at 4.5:1 at least, focused ones included. Light desktop: the
    // designed white look, the focused button's text on a darker blue, field
    // frames at 3:1 against the ones they replace. Dark (or high-contrast)
    // desktop: the theme's colours, no white under its light text, the text
    // size kept; its link (4.497:1) and selection (2.4:1) colours moved just
    // enough to read.
    void textReadsOnLightAndDarkDesktops()
    {
        QFETCH(bool, dark);
        const QPalette saved = QApplication::palette();
        if (dark)
            QApplication::setPalette(darkPalette());
        const auto restore = qScopeGuard([&] { QApplication::setPalette(saved); });
        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        auto w = showWindow();
        QApplication::setActiveWindow(w.get());
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        if (dark) {
            QVERIFY2(!w->styleSheet().contains(QStringLiteral("background")) &&
                         !w->styleSheet().contains(QStringLiteral("color")),
                     qPrintable(w->styleSheet()));
            QVERIFY(w->styleSheet().contains(QStringLiteral("font-size: 14px")));
            // The window's margin: the theme's own colour.
            QCOMPARE(w->grab().toImage().pixelColor(4, 4), darkPalette().color(QPalette::Window));
        } else {
            QVERIFY(w->styleSheet().contains(QStringLiteral("background: white")));
        }
        A::onHyperLink(*w, QStringLiteral("#trace"));

        const struct
        {
            const char* what;
            QWidget* widget;
            int margin;
        } texts[] = {
            {"prompt", A::widget<QLabel>(*w, "lbCardNumberPrompt"), 0},
            {"title", A::lbCardTitle(*w), 0},
            {"link", A::lbShowCert(*w), 0},
            {"button", A::bnCopy2Clipboard(*w), 3},
            {"field", A::edCardNumber(*w), 3},
            {"log", A::edLog(*w), 3},
        };
        for (const auto& t : texts) {
            const Ink ink = textInk(seen(w.get(), t.widget), t.margin);
            QVERIFY2(ink.ratio >= 4.5, qPrintable(describe(t.what, ink)));
        }

        A::readCertButton(*w)->setFocus(Qt::TabFocusReason);
        const Ink button = textInk(seen(w.get(), A::readCertButton(*w)), 3);
        QVERIFY2(button.ratio >= 4.5, qPrintable(describe("focused button", button)));
        A::lbShowCert(*w)->setFocus(Qt::TabFocusReason);
        const Ink link = textInk(seen(w.get(), A::lbShowCert(*w)));
        QVERIFY2(link.ratio >= 4.5, qPrintable(describe("focused link", link)));
        if (dark)
            return;
        QVERIFY2(button.background.blue() > 2 * button.background.red(),
                 qPrintable(describe("focused button", button)));
        for (QWidget* field : {static_cast<QWidget*>(A::edCardNumber(*w)), static_cast<QWidget*>(A::edLog(*w))}) {
            field->clearFocus();
            const QColor before = field->grab().toImage().pixelColor(0, field->height() / 2);
            field->setFocus(Qt::TabFocusReason);
            const QColor after = field->grab().toImage().pixelColor(0, field->height() / 2);
            QVERIFY2(
                contrast(before, after) >= 3,
                qPrintable(QStringLiteral("%1: frame %2 -> %3").arg(field->objectName(), before.name(), after.name())));
        }
    }

    // The desktop's text size: larger text in proportion, nothing cut, the
    // window as wide as its content needs; a smaller one keeps the design.
    void largerDesktopFontEnlargesTheTextWithoutCutting()
    {
        const QFont saved = QApplication::font();
        const auto restore = qScopeGuard([&] { QApplication::setFont(saved); });
        QFont small = saved;
        small.setPointSizeF(8);
        QApplication::setFont(small);
        {
            Zentavo w;
            QVERIFY(w.styleSheet().contains(QStringLiteral("font-size: 14px")));
        }
        QFont large = saved;
        large.setPointSizeF(18); // twice the default
        QApplication::setFont(large);

        SimCard card(&bench, 0);
        QVERIFY2(card.start(SimCard::Profile(), true), qPrintable(card.errorString()));
        auto w = showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QCOMPARE(A::edCardNumber(*w)->text(), QStringLiteral("RUD0000000000001"));
        QVERIFY(w->styleSheet().contains(QStringLiteral("font-size: 28px")));
        QCOMPARE(A::lbCardTitle(*w)->font().pixelSize(), 28);
        QVERIFY(w->width() >= w->minimumSizeHint().width());
        for (QWidget* widget : w->centralWidget()->findChildren<QWidget*>()) {
            if (!widget->isVisible())
                continue;
            const QSize needed = widget->minimumSizeHint();
            QVERIFY2(widget->width() >= needed.width() && widget->height() >= needed.height(),
                     qPrintable(QStringLiteral("%1 %2x%3 < %4x%5")
                                    .arg(widget->objectName())
                                    .arg(widget->width())
                                    .arg(widget->height())
                                    .arg(needed.width())
                                    .arg(needed.height())));
        }
        for (QLineEdit* field : {A::edCardNumber(*w), A::edSKZINumber(*w)})
            QVERIFY(field->fontMetrics().horizontalAdvance(field->text()) < field->contentsRect().width());
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
