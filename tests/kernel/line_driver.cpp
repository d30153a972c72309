// The host side of the guest's modem lines, preloaded into QEMU. QEMU reads a
// serial backend's modem lines with TIOCMGET and sets DTR and RTS with
// TIOCMSET/BIS/BIC; on the pseudo-terminals made here those requests are
// answered from one line state per terminal. The guest's test drives the
// lines through a control channel (a pipe chardev): one command a line,
// answered with one line.
//   wave P BIT EDGES SPACING_MS CLOSE toggle line BIT of terminal P, each level
//                                     held until QEMU has read it twice; with
//                                     CLOSE 1 until the guest closes the port.
//                                     Answers the last gap in us, -1 at a close
//   out P                             DTR and RTS as the guest set them
//   monitor TEXT                      TEXT to QEMU's monitor (unplug, plug)
// Files live in $KERNEL_TIER_DIR: uart and usb (links to the terminals),
// ctl.in and ctl.out (the pipe), monitor (QEMU's monitor socket).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Terminal {
    int master = -1;
    dev_t slave = 0;
    std::atomic<int> lines{0};   // CTS, DSR, CD, RI as the guest sees them
    std::atomic<int> control{0}; // DTR and RTS as the guest set them
    std::atomic<long> reads{0};  // TIOCMGET answered
    Clock::time_point lastEdge;  // the control thread's
};

std::array<Terminal, 2> terminals;  // 0: the UART, 1: the USB adapter
char dir[200];  // plain: set before the C++ globals are made

using IoctlFn = int (*)(int, unsigned long, ...);

Terminal* terminalOf(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return nullptr;
    for (Terminal& t : terminals)
        if (t.master >= 0 && st.st_rdev == t.slave)
            return &t;
    return nullptr;
}

void sleepMs(double ms)
{
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

// Holds the current level until the spacing is over and QEMU has read it
// twice, however long a loaded machine makes that. With `untilClosed`, reads
// that stop for three seconds (a loaded machine stalls the adapter for most of
// one) mean the guest closed the port: the wave ends
// there, and a level QEMU never read is taken back, so the port opened again
// finds the lines as the guest last saw them.
bool hold(Terminal& t, Clock::time_point due, bool untilClosed)
{
    const long readsBefore = t.reads.load();
    auto lastRead = Clock::now();
    for (long seen = readsBefore; Clock::now() < due || t.reads.load() < readsBefore + 2;) {
        sleepMs(0.2);
        if (t.reads.load() != seen) {
            seen = t.reads.load();
            lastRead = Clock::now();
        } else if (untilClosed && Clock::now() - lastRead > std::chrono::seconds(3)) {
            return false;
        }
    }
    return true;
}

long wave(Terminal& t, int bit, int edges, double spacingMs, bool untilClosed)
{
    auto& last = t.lastEdge;
    long gapUs = 0;
    for (int i = 0; i < edges; ++i) {
        const long readsBefore = t.reads.load();
        if (!hold(t, last + std::chrono::microseconds(static_cast<long>(spacingMs * 1000)), untilClosed)) {
            if (t.reads.load() == readsBefore)
                t.lines ^= bit;
            return -1;
        }
        const auto now = Clock::now();
        t.lines ^= bit;
        gapUs = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(now - last).count());
        last = now;
    }
    hold(t, last, untilClosed);  // the last level is seen as well before the answer
    return gapUs;
}

std::string toMonitor(const std::string& text)
{
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/monitor", dir);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(s);
        return "no monitor";
    }
    const std::string line = text + "\n";
    (void)!::write(s, line.data(), line.size());
    sleepMs(300);  // the monitor answers once the command ran
    ::close(s);
    return "ok";
}

std::string answer(const char* command)
{
    int p = 0, bit = 0, edges = 0, untilClosed = 0;
    double spacing = 0;
    if (std::sscanf(command, "wave %d %d %d %lf %d", &p, &bit, &edges, &spacing, &untilClosed) == 5 && p >= 0 && p < 2)
        return std::to_string(wave(terminals[p], bit, edges, spacing, untilClosed != 0));
    if (std::sscanf(command, "out %d", &p) == 1 && p >= 0 && p < 2)
        return std::to_string(terminals[p].control.load());
    if (std::strncmp(command, "monitor ", 8) == 0)
        return toMonitor(command + 8);
    return "?";
}

void serveControl()
{
    const int in = ::open((std::string(dir) + "/ctl.out").c_str(), O_RDWR | O_CLOEXEC);
    const int out = ::open((std::string(dir) + "/ctl.in").c_str(), O_RDWR | O_CLOEXEC);
    std::string pending;
    char buffer[256];
    for (ssize_t n; (n = ::read(in, buffer, sizeof buffer)) > 0;) {
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            const std::string reply = answer(pending.substr(0, end).c_str()) + "\n";
            (void)!::write(out, reply.data(), reply.size());
        }
    }
}

// The USB adapter sends its line state only inside data packets: a byte a
// millisecond keeps them coming. What the guest sends is read and dropped.
void fillAndDrain()
{
    char buffer[512];
    for (;;) {
        (void)!::write(terminals[1].master, "\0", 1);
        for (const Terminal& t : terminals)
            while (::read(t.master, buffer, sizeof buffer) > 0) {
            }
        sleepMs(1);
    }
}

__attribute__((constructor)) void setUp()
{
    // Only QEMU itself: the preload reaches the programs that start it as well.
    const char* where = ::getenv("KERNEL_TIER_DIR");
    if (where == nullptr || std::strncmp(program_invocation_short_name, "qemu-system", 11) != 0)
        return;
    std::snprintf(dir, sizeof dir, "%s", where);
    const char* names[] = {"uart", "usb"};
    for (std::size_t i = 0; i < terminals.size(); ++i) {
        Terminal& t = terminals[i];
        t.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ::grantpt(t.master);
        ::unlockpt(t.master);
        struct stat st {};
        ::stat(::ptsname(t.master), &st);
        t.slave = st.st_rdev;
        const std::string link = std::string(dir) + "/" + names[i];
        ::unlink(link.c_str());
        (void)!::symlink(::ptsname(t.master), link.c_str());
    }
    std::thread(serveControl).detach();
    std::thread(fillAndDrain).detach();
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    static const auto next = reinterpret_cast<IoctlFn>(::dlsym(RTLD_NEXT, "ioctl"));
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
        if (Terminal* t = terminalOf(fd)) {
            int* bits = static_cast<int*>(arg);
            constexpr int kControl = TIOCM_DTR | TIOCM_RTS;
            if (request == TIOCMGET) {
                *bits = t->lines.load() | t->control.load();
                ++t->reads;
            } else if (request == TIOCMSET) {
                t->control = *bits & kControl;
            } else if (request == TIOCMBIS) {
                t->control |= *bits & kControl;
            } else {
                t->control &= ~*bits;
            }
            return 0;
        }
    }
    return next(fd, request, arg);
}
