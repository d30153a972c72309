#include "system_serial_line_service.h"

#include "line_control.h"
#include "linux_serial_line_service.h"

namespace serial {

std::unique_ptr<SerialLineService> makeSystemSerialLineService()
{
    return std::make_unique<LinuxSerialLineService>(QStringLiteral("/"), makeSystemLineControl());
}

}  // namespace serial
