#include "certificate/printcertificate.h"
// TODO(certificate): stub
CPrintCertificate::CPrintCertificate() {}
void CPrintCertificate::printCertificate(const QByteArray&, int) {}
void CPrintCertificate::fillTemplate(QString&, const QSslCertificate&) const {}
QString CPrintCertificate::certificateField(const QSslCertificate&, int) const { return {}; }
QString saveCertificate(const QByteArray&) { return {}; }
