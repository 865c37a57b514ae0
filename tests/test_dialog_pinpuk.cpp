// The PIN/PUK dialog: fields per mask, validators, OK enabling, masking and
// the ways out of runPinDialog.

#include "app/translations.h"
#include "dialogs/qenterpinpuk.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QIntValidator>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <functional>

namespace {
template <typename T> T* child(QWidget* dialog, const char* name)
{
    T* widget = dialog->findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("dialog child %s missing", name);
    return widget;
}

// Runs runPinDialog and acts on the open dialog from inside its modal loop.
bool runWith(int mask, QString& pin, QString& puk, const std::function<void(QDialog*)>& act, QString* title = nullptr)
{
    bool acted = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || acted)
            return;
        acted = true;
        if (title)
            *title = dialog->windowTitle();
        act(dialog);
    });
    poll.start();
    const bool result = runPinDialog(nullptr, pin, puk, mask);
    if (!acted)
        qWarning("the dialog never became the active modal widget");
    return result;
}
} // namespace

class TestDialogPinPuk : public QObject
{
    Q_OBJECT
private slots:
    void formHasFixedNamesTextsAndSize();
    void fieldsShownByMask_data();
    void fieldsShownByMask();
    void validatorsAcceptDigitsInRange();
    void okNeedsFourPinDigits();
    void okNeedsEightPukDigitsAndFourPinDigitsWhenUnblocking();
    void okNeedsOnlyPukForPukMask();
    void showCharactersTogglesBothFields();
    void okReturnsTheTexts();
    void verificationReturnsEmptyPuk();
    void enterConfirmsOnlyCompleteCodes();
    void enterOnAFocusedButtonPressesThatButton_data();
    void enterOnAFocusedButtonPressesThatButton();
    void titleFollowsMask_data();
    void titleFollowsMask();
    void cancelCloseAndEscapeLeaveTheTexts_data();
    void cancelCloseAndEscapeLeaveTheTexts();
    void qtButtonsReadInTheSystemLanguage();
    void screenReadersTellThePinFromThePuk();
    void largeDesktopFontGrowsTheDialog();
};

void TestDialogPinPuk::formHasFixedNamesTextsAndSize()
{
    QEnterPinPuk dialog(nullptr, 3);
    QCOMPARE(QString::fromLatin1(dialog.metaObject()->className()), QStringLiteral("QEnterPinPuk"));
    QCOMPARE(dialog.objectName(), QStringLiteral("PinPuk"));
    QCOMPARE(child<QLabel>(&dialog, "lbPin")->text(), QString::fromUtf8("Введите ПИН-код карты"));
    QCOMPARE(child<QLabel>(&dialog, "lbPuk")->text(), QString::fromUtf8("Введите PUK-код карты"));
    QCOMPARE(child<QCheckBox>(&dialog, "chkShowPassword")->text(), QString::fromUtf8("Показать символы"));
    QVERIFY(!child<QCheckBox>(&dialog, "chkShowPassword")->isChecked());
    QCOMPARE(child<QPushButton>(&dialog, "btCancel")->text(), QString::fromUtf8("Отменить"));
    QCOMPARE(child<QPushButton>(&dialog, "btOk")->text(), QString::fromUtf8("Ок"));
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("Разблокировка ПИН-кода карты"));
    QCOMPARE(dialog.size(), QSize(500, 204));
    QCOMPARE(dialog.minimumSize(), QSize(500, 200));
    QCOMPARE(dialog.maximumSize(), QSize(500, 204));
    for (const char* name : {"edPin", "edPuk"}) {
        auto* edit = child<QLineEdit>(&dialog, name);
        QCOMPARE(edit->minimumWidth(), 200);
        QCOMPARE(edit->maximumWidth(), 200);
        QCOMPARE(edit->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        QVERIFY(edit->text().isEmpty());
    }
}

void TestDialogPinPuk::fieldsShownByMask_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<bool>("pinShown");
    QTest::addColumn<bool>("pukShown");
    QTest::newRow("verify") << 1 << true << false;
    QTest::newRow("puk only") << 2 << false << true;
    QTest::newRow("unblock") << 3 << true << true;
}

void TestDialogPinPuk::fieldsShownByMask()
{
    QFETCH(int, mask);
    QFETCH(bool, pinShown);
    QFETCH(bool, pukShown);
    QEnterPinPuk dialog(nullptr, mask);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(child<QLabel>(&dialog, "lbPin")->isVisible(), pinShown);
    QCOMPARE(child<QLineEdit>(&dialog, "edPin")->isVisible(), pinShown);
    QCOMPARE(child<QLabel>(&dialog, "lbPuk")->isVisible(), pukShown);
    QCOMPARE(child<QLineEdit>(&dialog, "edPuk")->isVisible(), pukShown);
    QVERIFY(!child<QPushButton>(&dialog, "btOk")->isEnabled());
}

void TestDialogPinPuk::validatorsAcceptDigitsInRange()
{
    QEnterPinPuk dialog(nullptr, 3);
    dialog.show();
    auto* pin = child<QLineEdit>(&dialog, "edPin");
    auto* puk = child<QLineEdit>(&dialog, "edPuk");
    auto* pinValidator = qobject_cast<const QIntValidator*>(pin->validator());
    auto* pukValidator = qobject_cast<const QIntValidator*>(puk->validator());
    QVERIFY(pinValidator && pukValidator);
    QCOMPARE(pinValidator->bottom(), 0);
    QCOMPARE(pinValidator->top(), 9999);
    QCOMPARE(pukValidator->bottom(), 0);
    QCOMPARE(pukValidator->top(), 99999999);
    QCOMPARE(pinValidator->parent(), &dialog);
    QCOMPARE(pukValidator->parent(), &dialog);

    QTest::keyClicks(pin, "12a3");
    QCOMPARE(pin->text(), QStringLiteral("123"));
    QTest::keyClicks(pin, "45");
    QCOMPARE(pin->text(), QStringLiteral("1234")); // a fifth digit would exceed 9999
    pin->clear();
    QTest::keyClicks(pin, "-12");
    QCOMPARE(pin->text(), QStringLiteral("12"));
    pin->clear();
    QTest::keyClicks(pin, "+123");
    QCOMPARE(pin->text(), QStringLiteral("123"));
    pin->clear();
    QTest::keyClicks(pin, "1 2,3");
    QCOMPARE(pin->text(), QStringLiteral("123"));

    // Leading zeros are digits like any other.
    pin->clear();
    QTest::keyClicks(pin, "0012");
    QCOMPARE(pin->text(), QStringLiteral("0012"));
    QTest::keyClicks(puk, "00000001");
    QCOMPARE(puk->text(), QStringLiteral("00000001"));
    puk->clear();

    QTest::keyClicks(puk, "123456789");
    QCOMPARE(puk->text(), QStringLiteral("12345678"));
    puk->clear();
    // Leading zeros keep the value in range: only the length stops a code
    // longer than the card's.
    QTest::keyClicks(puk, "0000123456");
    QCOMPARE(puk->text(), QStringLiteral("00001234"));
    QCOMPARE(puk->maxLength(), 8);
    pin->clear();
    QTest::keyClicks(pin, "0001234");
    QCOMPARE(pin->text(), QStringLiteral("0001"));
    QCOMPARE(pin->maxLength(), 4);
    pin->clear();
    puk->clear();
    QTest::keyClicks(puk, "12x34 56");
    QCOMPARE(puk->text(), QStringLiteral("123456"));
}

void TestDialogPinPuk::okNeedsFourPinDigits()
{
    QEnterPinPuk dialog(nullptr, 1);
    dialog.show();
    auto* pin = child<QLineEdit>(&dialog, "edPin");
    auto* ok = child<QPushButton>(&dialog, "btOk");
    QTest::keyClicks(pin, "123");
    QVERIFY(!ok->isEnabled());
    QTest::keyClicks(pin, "4");
    QVERIFY(ok->isEnabled());
    QTest::keyClick(pin, Qt::Key_Backspace);
    QVERIFY(!ok->isEnabled());
    // "0000" is a PIN of four characters even though its value is 0.
    pin->setText(QStringLiteral("0000"));
    QVERIFY(ok->isEnabled());
}

void TestDialogPinPuk::okNeedsEightPukDigitsAndFourPinDigitsWhenUnblocking()
{
    QEnterPinPuk dialog(nullptr, 3);
    dialog.show();
    auto* pin = child<QLineEdit>(&dialog, "edPin");
    auto* puk = child<QLineEdit>(&dialog, "edPuk");
    auto* ok = child<QPushButton>(&dialog, "btOk");
    QTest::keyClicks(pin, "1234");
    QVERIFY(!ok->isEnabled());
    QTest::keyClicks(puk, "1234567");
    QVERIFY(!ok->isEnabled());
    QTest::keyClicks(puk, "8");
    QVERIFY(ok->isEnabled());
    // Changing the other field re-evaluates both.
    QTest::keyClick(pin, Qt::Key_Backspace);
    QVERIFY(!ok->isEnabled());
    QTest::keyClicks(pin, "9");
    QVERIFY(ok->isEnabled());
    QTest::keyClick(puk, Qt::Key_Backspace);
    QVERIFY(!ok->isEnabled());
}

void TestDialogPinPuk::okNeedsOnlyPukForPukMask()
{
    QEnterPinPuk dialog(nullptr, 2);
    dialog.show();
    auto* puk = child<QLineEdit>(&dialog, "edPuk");
    auto* ok = child<QPushButton>(&dialog, "btOk");
    QTest::keyClicks(puk, "87654321");
    QVERIFY(ok->isEnabled());
}

void TestDialogPinPuk::showCharactersTogglesBothFields()
{
    QEnterPinPuk dialog(nullptr, 3);
    dialog.show();
    auto* box = child<QCheckBox>(&dialog, "chkShowPassword");
    auto* pin = child<QLineEdit>(&dialog, "edPin");
    auto* puk = child<QLineEdit>(&dialog, "edPuk");
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    QVERIFY(box->isChecked());
    QCOMPARE(pin->echoMode(), QLineEdit::Normal);
    QCOMPARE(puk->echoMode(), QLineEdit::Normal);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    QVERIFY(!box->isChecked());
    QCOMPARE(pin->echoMode(), QLineEdit::Password);
    QCOMPARE(puk->echoMode(), QLineEdit::Password);
}

void TestDialogPinPuk::okReturnsTheTexts()
{
    QString pin = QStringLiteral("old");
    QString puk = QStringLiteral("old");
    const bool accepted = runWith(3, pin, puk, [](QDialog* dialog) {
        QTest::keyClicks(child<QLineEdit>(dialog, "edPuk"), "12345678");
        QTest::keyClicks(child<QLineEdit>(dialog, "edPin"), "4321");
        QTest::mouseClick(child<QPushButton>(dialog, "btOk"), Qt::LeftButton);
    });
    QVERIFY(accepted);
    QCOMPARE(pin, QStringLiteral("4321"));
    QCOMPARE(puk, QStringLiteral("12345678"));
}

void TestDialogPinPuk::verificationReturnsEmptyPuk()
{
    QString pin;
    QString puk = QStringLiteral("stale");
    const bool accepted = runWith(1, pin, puk, [](QDialog* dialog) {
        QTest::keyClicks(child<QLineEdit>(dialog, "edPin"), "1234");
        QTest::mouseClick(child<QPushButton>(dialog, "btOk"), Qt::LeftButton);
    });
    QVERIFY(accepted);
    QCOMPARE(pin, QStringLiteral("1234"));
    QVERIFY(puk.isEmpty());
}

void TestDialogPinPuk::enterConfirmsOnlyCompleteCodes()
{
    QString pin;
    QString puk;
    bool stayedOpen = false;
    const bool accepted = runWith(1, pin, puk, [&stayedOpen](QDialog* dialog) {
        auto* edit = child<QLineEdit>(dialog, "edPin");
        QTest::keyClicks(edit, "123");
        QTest::keyClick(edit, Qt::Key_Return);
        stayedOpen = dialog->isVisible();
        QTest::keyClicks(edit, "4");
        QTest::keyClick(edit, Qt::Key_Return);
    });
    QVERIFY(stayedOpen);
    QVERIFY(accepted);
    QCOMPARE(pin, QStringLiteral("1234"));
}

void TestDialogPinPuk::enterOnAFocusedButtonPressesThatButton_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("backToField");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("Return on cancel") << QByteArray("btCancel") << int(Qt::Key_Return) << false << false;
    QTest::newRow("Enter on cancel") << QByteArray("btCancel") << int(Qt::Key_Enter) << false << false;
    QTest::newRow("Return on OK") << QByteArray("btOk") << int(Qt::Key_Return) << false << true;
    // Cancel was the default while it had the focus; a field gives it back to OK.
    QTest::newRow("Return in a field after cancel") << QByteArray("btCancel") << int(Qt::Key_Return) << true << true;
}

void TestDialogPinPuk::enterOnAFocusedButtonPressesThatButton()
{
    QFETCH(QByteArray, button);
    QFETCH(int, key);
    QFETCH(bool, backToField);
    QFETCH(bool, accepted);
    QString pin = QStringLiteral("keep-pin");
    QString puk = QStringLiteral("keep-puk");
    bool focused = false;
    const bool result = runWith(3, pin, puk, [&](QDialog* dialog) {
        QTest::keyClicks(child<QLineEdit>(dialog, "edPuk"), "12345678");
        QTest::keyClicks(child<QLineEdit>(dialog, "edPin"), "1234");
        // Reached by Tab as the user does, so the button's focus handling runs.
        auto* target = child<QPushButton>(dialog, button.constData());
        for (int i = 0; i < 6 && QApplication::focusWidget() != target; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        focused = QApplication::focusWidget() == target;
        QWidget* receiver = target;
        if (backToField) {
            receiver = child<QLineEdit>(dialog, "edPin");
            receiver->setFocus(Qt::TabFocusReason);
        }
        QTest::keyClick(receiver, Qt::Key(key));
        // The cancel button closes; a dialog left open would hang the test.
        if (dialog->isVisible())
            dialog->reject();
    });
    QVERIFY(focused);
    QCOMPARE(result, accepted);
    QCOMPARE(pin, accepted ? QStringLiteral("1234") : QStringLiteral("keep-pin"));
    QCOMPARE(puk, accepted ? QStringLiteral("12345678") : QStringLiteral("keep-puk"));
}

void TestDialogPinPuk::titleFollowsMask_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<QString>("title");
    QTest::newRow("verify") << 1 << QString::fromUtf8("Проверка ПИН-кода карты");
    QTest::newRow("puk only") << 2 << QString::fromUtf8("Проверка PUK-кода карты");
    QTest::newRow("unblock") << 3 << QString::fromUtf8("Разблокировка ПИН-кода карты");
}

void TestDialogPinPuk::titleFollowsMask()
{
    QFETCH(int, mask);
    QFETCH(QString, title);
    QString pin;
    QString puk;
    QString seen;
    runWith(
        mask, pin, puk,
        [](QDialog* dialog) { QTest::mouseClick(child<QPushButton>(dialog, "btCancel"), Qt::LeftButton); }, &seen);
    QCOMPARE(seen, title);
}

void TestDialogPinPuk::cancelCloseAndEscapeLeaveTheTexts_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("cancel button") << "cancel";
    QTest::newRow("window closed") << "close";
    QTest::newRow("escape") << "escape";
}

void TestDialogPinPuk::cancelCloseAndEscapeLeaveTheTexts()
{
    QFETCH(QString, way);
    QString pin = QStringLiteral("keep-pin");
    QString puk = QStringLiteral("keep-puk");
    const bool accepted = runWith(3, pin, puk, [way](QDialog* dialog) {
        // Both fields complete, so OK would be possible.
        QTest::keyClicks(child<QLineEdit>(dialog, "edPuk"), "12345678");
        QTest::keyClicks(child<QLineEdit>(dialog, "edPin"), "1234");
        QVERIFY(child<QPushButton>(dialog, "btOk")->isEnabled());
        if (way == QLatin1String("cancel"))
            QTest::mouseClick(child<QPushButton>(dialog, "btCancel"), Qt::LeftButton);
        else if (way == QLatin1String("close"))
            dialog->close();
        else
            QTest::keyClick(child<QLineEdit>(dialog, "edPin"), Qt::Key_Escape);
    });
    QVERIFY(!accepted);
    QCOMPARE(pin, QStringLiteral("keep-pin"));
    QCOMPARE(puk, QStringLiteral("keep-puk"));
}

namespace {
QString cancelButtonText()
{
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    return box.button(QMessageBox::Cancel)->text();
}

void removeTranslators()
{
    for (QTranslator* translator : qApp->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
}
} // namespace

void TestDialogPinPuk::qtButtonsReadInTheSystemLanguage()
{
    const QString qtDirectory = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!QFile::exists(qtDirectory + QStringLiteral("/qtbase_ru.qm")))
        QSKIP("Qt's translations are not installed (qt6-translations-l10n)");
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    QCOMPARE(cancelButtonText(), QStringLiteral("Cancel"));

    QCOMPARE(installQtTranslations(*qApp, russian), qtDirectory);
    QCOMPARE(cancelButtonText(), QString::fromUtf8("Отмена"));
    // The program's own texts are not Qt's to translate.
    QEnterPinPuk dialog(nullptr, 3);
    QCOMPARE(child<QPushButton>(&dialog, "btCancel")->text(), QString::fromUtf8("Отменить"));
    QCOMPARE(child<QPushButton>(&dialog, "btOk")->text(), QString::fromUtf8("Ок"));
    removeTranslators();

    // A "translations" folder next to the executable comes first (a German
    // file under the Russian name tells the two places apart).
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/translations");
    QVERIFY(!QFileInfo::exists(beside));
    QVERIFY(QDir().mkpath(beside));
    const bool copied =
        QFile::copy(qtDirectory + QStringLiteral("/qtbase_de.qm"), beside + QStringLiteral("/qtbase_ru.qm"));
    const QString found = installQtTranslations(*qApp, russian);
    const QString text = cancelButtonText();
    removeTranslators();
    QDir(beside).removeRecursively();
    QVERIFY(copied);
    QCOMPARE(found, beside);
    QCOMPARE(text, QStringLiteral("Abbrechen"));

    // A language without Qt's translation leaves the English texts.
    installQtTranslations(*qApp, QLocale(QLocale::Zulu));
    QCOMPARE(cancelButtonText(), QStringLiteral("Cancel"));
    removeTranslators();
}

// Each field is named by its label, so a screen reader says which code to type.
void TestDialogPinPuk::screenReadersTellThePinFromThePuk()
{
    QEnterPinPuk dialog(nullptr, 3);
    QAccessibleInterface* pin = QAccessible::queryAccessibleInterface(child<QLineEdit>(&dialog, "edPin"));
    QAccessibleInterface* puk = QAccessible::queryAccessibleInterface(child<QLineEdit>(&dialog, "edPuk"));
    QCOMPARE(pin->role(), QAccessible::EditableText);
    QVERIFY(pin->state().passwordEdit);
    QCOMPARE(pin->text(QAccessible::Name), QString::fromUtf8("Введите ПИН-код карты"));
    QCOMPARE(puk->text(QAccessible::Name), QString::fromUtf8("Введите PUK-код карты"));
    QCOMPARE(puk->relations(QAccessible::Label).size(), 1);
    QCOMPARE(puk->relations(QAccessible::Label).first().first->object(), child<QLabel>(&dialog, "lbPuk"));
}

// Twice the default text size: the dialog grows beyond its fixed size
// rather than squeeze or cut its texts; the default size keeps the form's.
void TestDialogPinPuk::largeDesktopFontGrowsTheDialog()
{
    const QFont saved = QApplication::font();
    QFont large = saved;
    large.setPointSizeF(2 * saved.pointSizeF());
    QApplication::setFont(large);
    QEnterPinPuk dialog(nullptr, 3);
    dialog.show();
    QApplication::setFont(saved);
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.height() > 204);
    for (QWidget* widget : dialog.findChildren<QWidget*>()) {
        const QSize needed = widget->minimumSizeHint();
        QVERIFY2(widget->width() >= needed.width() && widget->height() >= needed.height() &&
                     dialog.rect().contains(widget->geometry()),
                 qPrintable(widget->objectName()));
    }
    QEnterPinPuk normal(nullptr, 3);
    QCOMPARE(normal.size(), QSize(500, 204));
}

QTEST_MAIN(TestDialogPinPuk)
#include "test_dialog_pinpuk.moc"
