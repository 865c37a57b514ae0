#include "app/resources.h"
#include "app/translations.h"
#include "app/zentavo.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // Qt 6 reads every narrow string literal as UTF-8; nothing to install.
    QApplication app(argc, argv);
    installQtTranslations(app);
    initZentavoResources();
    Zentavo window;
    window.show();
    return app.exec();
}
