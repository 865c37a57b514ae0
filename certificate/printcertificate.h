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
    // Bytes that are no certificate fail the print: no document is written.
    void printCertificate(const QByteArray& der, int cardType);
    // Values go in as escaped HTML text; positions are found before any
    // replacement, so a value holding placeholder text stays literal.
    void fillTemplate(QString& text, const QSslCertificate& certificate) const;
    // One certificate fact as display text, selected by its field code.
    // A null certificate gives empty text for every code but 105 (today).
    QString certificateField(const QSslCertificate& certificate, int code) const;

signals:
    void signalTrace(QString s);
};

// Writes the certificate bytes to "Certificate.cer" in the temporary
// directory; returns its path, or empty text when the file was not written
// whole (an earlier file then stays as it was).
QString saveCertificate(const QByteArray& der);
