#include "program_icon.h"

// Resources in a static library are only linked in when something asks for them.
static void initIconResource()
{
    Q_INIT_RESOURCE(impulsmeter);
}

namespace window {

QIcon programIcon()
{
    initIconResource();
    QIcon icon;
    icon.addFile(QStringLiteral(":/impulsmeter/impulsmeter-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/impulsmeter/impulsmeter-32.png"), QSize(32, 32));
    return icon;
}

}  // namespace window
