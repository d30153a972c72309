#pragma once

#include <QIcon>

namespace window {

// The program's own icon, 32 x 32 and 16 x 16 in 16 colours.
QIcon programIcon();

}  // namespace window
