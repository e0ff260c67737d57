#include "platform/resources.h"

#include <QtGlobal>

static void initOnce() {
    Q_INIT_RESOURCE(resources);
}

void loadProgramResources() {
    static const bool loaded = (initOnce(), true);
    Q_UNUSED(loaded);
}
