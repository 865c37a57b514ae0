#include "app/zentavo.h"
// TODO(window): stub
Zentavo::Zentavo() : form(nullptr) {}
Zentavo::~Zentavo() {}
QString Zentavo::currentReaderName() const { return {}; }
void Zentavo::showCardTitle(int) {}
void Zentavo::clearCardInfo() {}
void Zentavo::updateActions() {}
void Zentavo::showError(const QString&) {}
void Zentavo::showInfo(const QString&) {}
void Zentavo::logAndShowError(const QString&) {}
QString Zentavo::decorateMessage(const QString& t) { return t; }
void Zentavo::syncSettings(bool) {}
void Zentavo::refreshReaders() {}
void Zentavo::showEvent(QShowEvent* e) { QMainWindow::showEvent(e); }
void Zentavo::on_bnSelectReader_clicked() {}
void Zentavo::on_bnCopy2Clipboard_clicked() {}
void Zentavo::statusChanged(ulong) {}
void Zentavo::errorDetected() {}
void Zentavo::on_cbReaders_currentIndexChanged(int) {}
void Zentavo::on_readCertButton_clicked() {}
void Zentavo::handleTrace(QString) {}
void Zentavo::onHyperLink(QString) {}
