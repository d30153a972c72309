#pragma once

#include "serial_line_service.h"

#include <QString>

#include <optional>

namespace serial {

// The tooltip of a COM option: the device behind it, why its last open or
// probe failed, and for the open port how its driver reports line changes.
QString portToolTip(const PortInfo& info, std::optional<LineCapability> openCapability);

}  // namespace serial
