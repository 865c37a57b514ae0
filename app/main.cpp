#include "app/resources.h"
#include "app/translations.h"
#include "app/zentavo.h"

#include <QApplication>

#include <cstdlib>

#include <openssl/crypto.h>

int main(int argc, char* argv[])
{
    // OpenSSL reads no configuration file: parsing certificates needs none, and
    // on Windows its compiled-in folder is outside the program's own. The first
    // initialisation decides this for the process; the ones that Qt and
    // libcrypto make later ask for the file in vain.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    // Qt 6 reads every narrow string literal as UTF-8; nothing to install.
    QApplication app(argc, argv);
    installQtTranslations(app);
    initZentavoResources();
    int result = 0;
    {
        Zentavo window;
        window.show();
        result = app.exec();
    }
    // The settings are saved; a card thread that the card service still holds
    // (another program's transaction) may not be waited for, nor may exit
    // handlers run under it.
    if (CardThread::leftBehind())
        std::_Exit(result);
    return result;
}
