#include "app/zentavo.h"
// TODO(tacho): stub
CardType Zentavo::readCardType() { return 0; }
QString Zentavo::readCardNumber(const QString&) { return {}; }
QString Zentavo::readSkziNumber() { return {}; }
void Zentavo::readCardIdentification() {}
void Zentavo::promptCardPin(QString&) {}
QString Zentavo::readCertificate(int) { return {}; }
void Zentavo::verifyPin() {}
void Zentavo::unblockPin() {}
void Zentavo::on_bnReadCard_clicked() {}
