#pragma once

#include <QByteArray>
#include <QObject>
#include <QSslCertificate>
#include <QString>

// Fills the printable certificate form for a card type, writes it to the
// temporary directory and opens it in the browser.
class CPrintCertificate : public QObject
{
    Q_OBJECT
public:
    CPrintCertificate();

    // Never throws: progress and failure reach the log as trace lines only.
    void printCertificate(const QByteArray& der, int cardType);
    void fillTemplate(QString& text, const QSslCertificate& certificate) const;
    // One certificate fact as display text, selected by its field code.
    QString certificateField(const QSslCertificate& certificate, int code) const;

signals:
    void signalTrace(QString s);
};

// Writes the certificate bytes to "Certificate.cer" in the temporary
// directory; returns its path, or empty text when nothing was written.
QString saveCertificate(const QByteArray& der);
