#include "app/translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QStringList>
#include <QTranslator>

QString installQtTranslations(QCoreApplication& app, const QLocale& locale)
{
    const QStringList directories{
        QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
        QLibraryInfo::path(QLibraryInfo::TranslationsPath),
    };
    for (const QString& directory : directories) {
        auto* translator = new QTranslator(&app);
        if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), directory) &&
            QCoreApplication::installTranslator(translator))
            return directory;
        delete translator;
    }
    return {};
}
