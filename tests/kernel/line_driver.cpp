// The host side of the guest's modem lines, preloaded into QEMU. QEMU reads a
// serial backend's modem lines with TIOCMGET and sets DTR and RTS with
// TIOCMSET; on the pseudo-terminals made here those requests are answered from
// one line state per terminal. The guest's test drives the lines through a
// control channel (a pipe chardev), one command a line, one answer a line:
//   edge P BIT SPACING_US N     toggles line BIT of terminal P (0 the UART, 1
//                               the USB adapter) once with N 1, or with N 0
//                               until the guest closes the port; answers the gap
//                               before the last edge in us, -1 at a close
//   out P                       DTR and RTS as the guest set them
//   anything else               a line for QEMU's monitor (unplug, plug)
// Files live in $KERNEL_TIER_DIR: uart and usb (links to the terminals), the
// pipes ctl.in, ctl.out, monitor.in and monitor.out.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Per terminal: CTS, DSR, CD and RI as the guest sees them, DTR and RTS as
// the guest set them, TIOCMGET answered (how often, when last), and the
// control thread's last edge.
struct Terminal {
    int master = -1;
    dev_t slave = 0;
    std::atomic<int> lines{0}, control{0};
    std::atomic<Clock::rep> reads{0}, lastRead{0};
    Clock::time_point lastEdge;
} terminals[2];
int monitor = -1;

// Toggles `bit` once, or with `flow` until the guest closes the port: each
// edge once the spacing since the last is over and QEMU has read the level
// twice, however long a loaded machine makes that, and the last level read
// twice as well before the answer, the gap before the last edge in us. Reads
// that stop for three seconds (a loaded machine stalls the adapter for most
// of one) mean the guest closed the port: -1.
long edges(Terminal& t, int bit, int spacingUs, bool flow)
{
    for (long gapUs = 0, toggled = 0;; toggled = 1) {
        const bool last = toggled && !flow;
        const long before = t.reads;
        while (t.reads < before + 2 || (!last && Clock::now() < t.lastEdge + std::chrono::microseconds(spacingUs))) {
            if (flow && Clock::now() - Clock::time_point(Clock::duration(t.lastRead)) > 3s) {
                // A level QEMU never read is taken back, so the port opened
                // again finds the lines as the guest last saw them.
                if (t.reads == before)
                    t.lines ^= bit;
                return -1;
            }
            std::this_thread::sleep_for(200us);
        }
        if (last)
            return gapUs;
        const auto now = Clock::now();
        gapUs = std::chrono::duration_cast<std::chrono::microseconds>(now - t.lastEdge).count();
        t.lastEdge = now;
        t.lines ^= bit;
    }
}

std::string answer(const char* command)
{
    int p = 0, bit = 0, spacing = 0, n = 0;
    if (std::sscanf(command, "edge %d %d %d %d", &p, &bit, &spacing, &n) == 4 && (p == 0 || p == 1))
        return std::to_string(edges(terminals[p], bit, spacing, n == 0));
    if (std::sscanf(command, "out %d", &p) == 1 && (p == 0 || p == 1))
        return std::to_string(terminals[p].control);
    (void)!::write(monitor, command, std::strlen(command));
    std::this_thread::sleep_for(300ms);  // the monitor answers once the command ran
    return "ok";
}

// Only QEMU itself: the preload reaches the programs that start it as well.
// The pipes are opened read-write, so opening them never waits for QEMU.
__attribute__((constructor)) void setUp()
{
    const char* dir = ::getenv("KERNEL_TIER_DIR");
    if (dir == nullptr || std::strncmp(program_invocation_short_name, "qemu-system", 11) != 0)
        return;
    const auto path = [dir](const char* name) { return std::string(dir) + "/" + name; };
    const auto open = [&](const char* name) { return ::open(path(name).c_str(), O_RDWR | O_CLOEXEC); };
    for (Terminal& t : terminals) {
        t.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ::unlockpt(t.master);
        struct stat st {};
        ::stat(::ptsname(t.master), &st);
        t.slave = st.st_rdev;
        (void)!::symlink(::ptsname(t.master), path(&t == terminals ? "uart" : "usb").c_str());
    }
    monitor = open("monitor.in");
    open("monitor.out");  // read by no one: the monitor says little
    std::thread([in = ::fdopen(open("ctl.out"), "r"), out = open("ctl.in")] {
        char* line = nullptr;
        std::size_t size = 0;
        while (::getline(&line, &size, in) > 0)
            ::dprintf(out, "%s\n", answer(line).c_str());
    }).detach();
    // The USB adapter sends its line state only inside data packets: a byte a
    // millisecond keeps them coming. The guest sends nothing back.
    std::thread([] {
        for (;; std::this_thread::sleep_for(1ms))
            (void)!::write(terminals[1].master, "", 1);
    }).detach();
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    static const auto next = reinterpret_cast<int (*)(int, unsigned long, void*)>(::dlsym(RTLD_NEXT, "ioctl"));
    va_list args;
    va_start(args, request);
    int* bits = va_arg(args, int*);
    va_end(args);
    struct stat st {};
    if ((request == TIOCMGET || request == TIOCMSET) && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode))
        for (Terminal& t : terminals)
            if (t.master >= 0 && st.st_rdev == t.slave) {
                if (request == TIOCMSET) {
                    t.control = *bits & (TIOCM_DTR | TIOCM_RTS);
                } else {
                    *bits = t.lines | t.control;
                    t.lastRead = Clock::now().time_since_epoch().count();
                    ++t.reads;
                }
                return 0;
            }
    return next(fd, request, bits);
}
