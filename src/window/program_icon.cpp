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
    // The larger ones keep the icon sharp on a screen scaled to 150 % or 200 %.
    for (int size : {16, 32, 48, 64})
        icon.addFile(QStringLiteral(":/impulsmeter/impulsmeter-%1.png").arg(size), QSize(size, size));
    return icon;
}

}  // namespace window
