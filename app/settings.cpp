#include "app/zentavo.h"

#include <QMessageBox>
#include <QSettings>

void Zentavo::syncSettings(bool load)
{
    QSettings settings(QStringLiteral("Vestrak"), QStringLiteral("Zentavo"));
    settings.beginGroup(QStringLiteral("General"));
    if (load) {
        // Not validated here: the next refresh brings it into range.
        bool ok = false;
        const int stored = settings.value(QStringLiteral("LastReader")).toInt(&ok);
        currentIndex = ok ? stored : 0;
        lastReaderName = settings.value(QStringLiteral("LastReaderName")).toString();
    } else {
        // The index stays for older versions; the name is what finds the
        // reader again when the set of readers has changed.
        settings.setValue(QStringLiteral("LastReader"), currentIndex);
        const QString name = lastReaderName.isEmpty() ? currentReaderName() : lastReaderName;
        if (!name.isEmpty())
            settings.setValue(QStringLiteral("LastReaderName"), name);
    }
    settings.endGroup();
}

QString Zentavo::decorateMessage(const QString& text)
{
    return QStringLiteral("\n") + text + QStringLiteral("             \n");
}

void Zentavo::showError(const QString& text)
{
    QMessageBox::critical(this, windowTitle(), decorateMessage(text), QMessageBox::Ok, QMessageBox::NoButton);
}

void Zentavo::showInfo(const QString& text)
{
    QMessageBox::information(this, windowTitle(), decorateMessage(text), QMessageBox::Ok, QMessageBox::NoButton);
}

void Zentavo::logAndShowError(const QString& text)
{
    handleTrace(text);
    showError(text);
}
