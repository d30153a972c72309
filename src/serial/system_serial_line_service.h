#pragma once

#include "serial_line_service.h"

#include <memory>

namespace serial {

// The service the program runs with: the machine's own serial ports.
std::unique_ptr<SerialLineService> makeSystemSerialLineService();

}  // namespace serial
