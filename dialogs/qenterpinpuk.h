#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class PinPuk;
}

// The modal dialog for the card's PIN, or for the PUK and a new PIN.
// Field mask: bit 1 shows the PIN field, bit 2 the PUK field.
class QEnterPinPuk : public QDialog
{
    Q_OBJECT
public:
    QEnterPinPuk(QWidget* parent, int mask);
    ~QEnterPinPuk() override;
    QEnterPinPuk(const QEnterPinPuk&) = delete;
    QEnterPinPuk& operator=(const QEnterPinPuk&) = delete;

    bool isAccepted() const { return accepted; }
    QString pinText() const;
    QString pukText() const;

public slots:
    void showPassword(bool show);
    void onPinPukChanged(const QString&);
    void onOk();
    void onCancel();

private:
    Ui::PinPuk* form;
    int mask;
    bool accepted = false;
};

// Runs the dialog; on OK stores the field texts into pin and puk (empty for
// a hidden field) and returns true. Cancel, Escape and the close button
// return false and leave pin and puk as they were.
bool runPinDialog(QWidget* parent, QString& pin, QString& puk, int mask);
// The same dialog, titled for its fields, for the caller to open: it answers
// through finished() and isAccepted().
QEnterPinPuk* makePinDialog(QWidget* parent, int mask);
