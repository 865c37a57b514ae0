#include "app/resources.h"

#include <QtGlobal>

static void registerBundle()
{
    Q_INIT_RESOURCE(zentavo);
}

void initZentavoResources()
{
    static const bool done = (registerBundle(), true);
    Q_UNUSED(done);
}
