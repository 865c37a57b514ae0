#pragma once

#include <QLocale>
#include <QString>

class QCoreApplication;

// Installs Qt's own translations (standard buttons, input boxes) for the
// locale's language, so that they read in the language of the program's own
// Russian texts on a Russian system. Looks in "translations" next to the
// executable first (where the Windows build ships them), then in Qt's own
// directory. Returns the directory that had them, or empty text.
QString installQtTranslations(QCoreApplication& app, const QLocale& locale = QLocale::system());
