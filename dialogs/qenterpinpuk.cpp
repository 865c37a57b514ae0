#include "dialogs/qenterpinpuk.h"

#include "ui_qenterpinpuk.h"

#include <QIntValidator>
#include <QLayout>

#include <memory>

namespace {
constexpr int PinField = 1;
constexpr int PukField = 2;
constexpr int PinLength = 4;
constexpr int PukLength = 8;

// QIntValidator takes a leading sign ("+123" is four characters and enabled
// OK): a PIN or PUK is digits only, so anything else is refused outright.
class DigitsValidator : public QIntValidator
{
public:
    DigitsValidator(int top, QObject* parent) : QIntValidator(0, top, parent) {}
    State validate(QString& input, int& pos) const override
    {
        for (const QChar c : std::as_const(input)) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return Invalid;
        }
        return QIntValidator::validate(input, pos);
    }
};
} // namespace

QEnterPinPuk::QEnterPinPuk(QWidget* parent, int mask) : QDialog(parent), form(new Ui::PinPuk), mask(mask)
{
    form->setupUi(this);

    const bool pinShown = mask & PinField;
    const bool pukShown = mask & PukField;
    form->lbPin->setVisible(pinShown);
    form->edPin->setVisible(pinShown);
    form->lbPuk->setVisible(pukShown);
    form->edPuk->setVisible(pukShown);

    form->edPin->setValidator(new DigitsValidator(9999, this));
    form->edPuk->setValidator(new DigitsValidator(99999999, this));
    // Leading zeros keep a longer text inside the validators' range; the
    // card's codes have exactly these lengths.
    form->edPin->setMaxLength(PinLength);
    form->edPuk->setMaxLength(PukLength);
    form->btOk->setEnabled(false);
    // Return in a field confirms complete codes. A button that has the focus
    // takes Return itself: a Cancel without auto-default would pass it on to
    // the dialog, which presses OK and sends the codes to the card.
    form->btOk->setDefault(true);
    form->btOk->setAutoDefault(true);
    form->btCancel->setAutoDefault(true);

    connect(form->chkShowPassword, &QCheckBox::toggled, this, &QEnterPinPuk::showPassword);
    connect(form->edPin, &QLineEdit::textChanged, this, &QEnterPinPuk::onPinPukChanged);
    connect(form->edPuk, &QLineEdit::textChanged, this, &QEnterPinPuk::onPinPukChanged);
    connect(form->btOk, &QPushButton::clicked, this, &QEnterPinPuk::onOk);
    connect(form->btCancel, &QPushButton::clicked, this, &QEnterPinPuk::onCancel);

    form->edPin->setEchoMode(QLineEdit::Password);
    form->edPuk->setEchoMode(QLineEdit::Password);

    // A larger desktop font (or the window's style sheet following it) needs
    // more room than the fixed size gives: grow rather than cut the texts.
    ensurePolished();
    const QSize needed = layout()->totalMinimumSize();
    if (needed.width() > maximumWidth() || needed.height() > maximumHeight()) {
        setMaximumSize(maximumSize().expandedTo(needed));
        setMinimumSize(minimumSize().expandedTo(needed));
        resize(size().expandedTo(needed));
    }
}

QEnterPinPuk::~QEnterPinPuk()
{
    delete form;
}

QString QEnterPinPuk::pinText() const
{
    return form->edPin->text();
}

QString QEnterPinPuk::pukText() const
{
    return form->edPuk->text();
}

void QEnterPinPuk::showPassword(bool show)
{
    const QLineEdit::EchoMode mode = show ? QLineEdit::Normal : QLineEdit::Password;
    form->edPin->setEchoMode(mode);
    form->edPuk->setEchoMode(mode);
}

void QEnterPinPuk::onPinPukChanged(const QString&)
{
    // Both fields are judged on every change: either one may complete the pair.
    const bool pukComplete = !(mask & PukField) || form->edPuk->text().size() == PukLength;
    const bool pinComplete = !(mask & PinField) || form->edPin->text().size() == PinLength;
    form->btOk->setEnabled(pukComplete && pinComplete);
}

void QEnterPinPuk::onOk()
{
    accepted = true;
    close();
}

void QEnterPinPuk::onCancel()
{
    close();
}

QEnterPinPuk* makePinDialog(QWidget* parent, int mask)
{
    auto* dialog = new QEnterPinPuk(parent, mask);
    if ((mask & (PinField | PukField)) == (PinField | PukField))
        dialog->setWindowTitle(QStringLiteral("Разблокировка ПИН-кода карты"));
    else if (mask & PinField)
        dialog->setWindowTitle(QStringLiteral("Проверка ПИН-кода карты"));
    else
        dialog->setWindowTitle(QStringLiteral("Проверка PUK-кода карты"));
    return dialog;
}

bool runPinDialog(QWidget* parent, QString& pin, QString& puk, int mask)
{
    std::unique_ptr<QEnterPinPuk> dialog(makePinDialog(parent, mask));
    dialog->setModal(true);
    dialog->exec();
    if (!dialog->isAccepted())
        return false;
    pin = dialog->pinText();
    puk = dialog->pukText();
    return true;
}
