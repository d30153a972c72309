#include "line_control.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace serial {
namespace {

int answer(int result)
{
    return result == -1 ? errno : 0;
}

class SystemLineControl : public LineControl {
public:
    int getLines(int fd, int& bits) override { return answer(::ioctl(fd, TIOCMGET, &bits)); }
    int raiseLines(int fd, int bits) override { return answer(::ioctl(fd, TIOCMBIS, &bits)); }
    int lowerLines(int fd, int bits) override { return answer(::ioctl(fd, TIOCMBIC, &bits)); }
    int getCounts(int fd, LineCounts& counts) override
    {
        serial_icounter_struct icount{};
        const int error = answer(::ioctl(fd, TIOCGICOUNT, &icount));
        if (error == 0)
            counts = {icount.cts, icount.dsr, icount.dcd, icount.rng};
        return error;
    }
    int waitForChange(int fd, int bits) override { return answer(::ioctl(fd, TIOCMIWAIT, bits)); }
};

}  // namespace

bool isUnsupported(int error)
{
    return error == ENOTTY || error == EINVAL;
}

bool isGone(int error)
{
    return error == EIO || error == ENODEV;
}

std::unique_ptr<LineControl> makeSystemLineControl()
{
    return std::make_unique<SystemLineControl>();
}

}  // namespace serial
