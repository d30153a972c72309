// One USB serial chip, emulated in the guest on a dummy UDC through
// FunctionFS, so that the kernel's own driver for it makes its tty. The test
// drives it on stdin, one command a line, one answer a line, as it drives the
// host's line driver (P, the terminal there, is ignored here):
//   edge P BIT SPACING_US COUNT  toggles the line with this TIOCM bit COUNT
//                                times; a lone edge goes once the driver took
//                                the last. Answers the gap before the last in us
//   out P                        DTR and RTS as the driver set them (TIOCM)
//   unplug, plug                 unbinds the UDC, binds it again
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;
using Bytes = std::string;
std::atomic<int> lines{0}, outputs{0}, statusReads{0}, lineControl{0};

// The lines as the chip's status byte has them: its bits for DCD, DSR, CTS and RI.
char status(int bits, std::array<int, 4> chip)
{
    return char((bits & TIOCM_CD ? chip[0] : 0) | (bits & TIOCM_DSR ? chip[1] : 0) | (bits & TIOCM_CTS ? chip[2] : 0) |
                (bits & TIOCM_RNG ? chip[3] : 0));
}

// DTR and RTS are the TIOCM bits 2 and 4; the chips have them as bits 1 and 2.
static_assert(TIOCM_DTR == 2 && TIOCM_RTS == 4);

// PL2303 and CDC-ACM set both lines with one request. PL2303's 0x8080 read
// must be answered, or it is taken for a newer model: zeros do.
Bytes setLines(const usb_ctrlrequest& s)
{
    if (s.bRequest == 0x22)
        outputs = (s.wValue & 3) << 1;
    return Bytes();
}

// Ids, interface class, whether a status endpoint (CDC-ACM: and a filler
// descriptor) comes first, the status packet and the answers to control
// requests; those not named answer zeros.
struct Chip {
    const char* name;
    const char* ids[3];  // idVendor, idProduct, bcdDevice
    char interfaceClass[3];
    bool interruptIn, filler;
    Bytes (*packet)(int bits);
    Bytes (*answer)(const usb_ctrlrequest& s);
};
const Chip kChips[] = {
    {"ch341", {"0x1a86", "0x7523", "0x0264"}, {char(0xff), 0, 0}, true, false,
     [](int bits) { return Bytes{0, 0, char(~status(bits, {8, 2, 1, 4})), 0}; },
     [](const usb_ctrlrequest& s) {  // the version and status reads: the lines inverted
         if (s.bRequest == 0xa4)
             outputs = ~s.wValue >> 4 & 6;  // DTR 0x20, RTS 0x40, both inverted
         return Bytes{char(~status(lines, {8, 2, 1, 4})), char(0xee)};
     }},
    {"pl2303", {"0x067b", "0x2303", "0x0300"}, {char(0xff), 0, 0}, true, false,
     [](int bits) { return Bytes(8, 0) + status(bits, {1, 2, 0x80, 8}) + '\0'; }, setLines},
    {"cp210x", {"0x10c4", "0xea60", "0x0100"}, {char(0xff), 0, 0}, false, false, [](int) { return Bytes(); },
     [](const usb_ctrlrequest& s) {
         const int write = (s.wValue >> 8 & 3) << 1;  // which of DTR and RTS to set
         if (s.bRequest == 0x07)
             outputs = (outputs & ~write) | (s.wValue << 1 & write);
         if (s.bRequest == 0x03)
             lineControl = s.wValue;
         if (s.bRequest == 0x04)  // the line control read back
             return Bytes{char(lineControl & 0xff), char(lineControl >> 8)};
         if (s.bRequest == 0xff && s.wValue == 0x370b)
             return Bytes(1, 2);  // part number: CP2102
         if (s.bRequest != 0x08)
             return Bytes();
         ++statusReads;  // the modem status, read on every TIOCMGET
         return Bytes(1, char(status(lines, {0x80, 0x20, 0x10, 0x40}) | outputs >> 1));
     }},
    {"cdc_acm", {"0x1d6b", "0x0104", "0x0100"}, {2, 2, 1}, true, true,
     [](int bits) { return Bytes{char(0xa1), 0x20, 0, 0, 0, 0, 2, 0, status(bits, {1, 2, 0, 8}), 0}; }, setLines},
};

Bytes le(unsigned value, int bytes)
{
    return bytes ? char(value & 0xff) + le(value >> 8, bytes - 1) : Bytes();
}
// One interface with the status endpoint first, then bulk in and out, at full
// and high speed. CDC-ACM's class descriptors FunctionFS refuses: a filler
// after the interface gives the driver extra descriptors without a union, so
// it takes the single-interface form.
Bytes descriptors(const Chip& chip)
{
    const int endpoints = chip.interruptIn ? 3 : 2, count = 1 + chip.filler + endpoints;
    const int flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP;
    Bytes all = le(FUNCTIONFS_DESCRIPTORS_MAGIC_V2, 4) + le(0, 4) + le(flags, 4) + le(count, 4) + le(count, 4);
    for (int bulk : {64, 512}) {
        all += Bytes{9, USB_DT_INTERFACE, 0, 0, char(endpoints)} + Bytes(chip.interfaceClass, 3) + '\0';
        all += chip.filler ? Bytes{3, USB_DT_OTG, 0} : Bytes();
        if (chip.interruptIn)
            all += Bytes{7, USB_DT_ENDPOINT, char(0x81), USB_ENDPOINT_XFER_INT, 16, 0, char(bulk == 64 ? 1 : 4)};
        all += Bytes{7, USB_DT_ENDPOINT, char(0x82), USB_ENDPOINT_XFER_BULK} + le(bulk, 2) + '\0';
        all += Bytes{7, USB_DT_ENDPOINT, 0x03, USB_ENDPOINT_XFER_BULK} + le(bulk, 2) + '\0';
    }
    return all.replace(4, 4, le(all.size(), 4));
}

// Answers the driver's control requests for as long as the function lives.
void serveControl(const Chip& chip, int ep0)
{
    for (usb_functionfs_event event{}; ::read(ep0, &event, sizeof event) == sizeof event;) {
        if (event.type != FUNCTIONFS_SETUP)
            continue;
        Bytes data = chip.answer(event.u.setup);
        data.resize(event.u.setup.wLength);
        (void)!(event.u.setup.bRequestType & USB_DIR_IN ? ::write(ep0, data.data(), data.size())
                                                         : ::read(ep0, data.data(), data.size()));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const Chip* chip = std::find_if(std::begin(kChips), std::end(kChips),
                                    [&](const Chip& c) { return argc == 3 && argv[1] == std::string(c.name); });
    if (chip == std::end(kChips))
        return std::fprintf(stderr, "usage: usb_chip ch341|pl2303|cp210x|cdc_acm UDC\n"), 2;
    const std::string gadget = std::string("/sys/kernel/config/usb_gadget/") + chip->name;
    const std::string function = gadget + "/functions/ffs." + chip->name, ffs = std::string("/tmp/ffs-") + chip->name;
    for (const std::string& dir : {gadget, gadget + "/configs/c.1", function, ffs})
        ::mkdir(dir.c_str(), 0755);
    for (int i = 0; const char* file : {"/idVendor", "/idProduct", "/bcdDevice"})
        std::ofstream(gadget + file) << chip->ids[i++];
    (void)!::symlink(function.c_str(), (gadget + "/configs/c.1/ffs").c_str());
    const bool mounted = ::mount(chip->name, ffs.c_str(), "functionfs", 0, nullptr) == 0;
    const int ep0 = mounted ? ::open((ffs + "/ep0").c_str(), O_RDWR) : -1;
    const Bytes written = descriptors(*chip) + le(FUNCTIONFS_STRINGS_MAGIC, 4) + le(16, 4) + le(0, 8);
    const std::size_t split = written.size() - 16;
    if (ep0 < 0 || ::write(ep0, written.data(), split) < 0 || ::write(ep0, written.data() + split, 16) < 0)
        return std::perror("functionfs"), 1;
    std::thread(serveControl, std::cref(*chip), ep0).detach();
    std::ofstream(gadget + "/UDC") << argv[2];  // only now: ep1 exists
    const int ep1 = chip->interruptIn ? ::open((ffs + "/ep1").c_str(), O_RDWR) : -1;

    auto last = std::chrono::steady_clock::now();
    for (std::string command; std::getline(std::cin, command);) {
        int bit = 0, spacingUs = 0, count = 0;
        long gapUs = 0;
        if (std::sscanf(command.c_str(), "edge %*d %d %d %d", &bit, &spacingUs, &count) == 3) {
            for (int i = 0; i < count; ++i) {
                std::this_thread::sleep_until(last + std::chrono::microseconds(spacingUs));
                const int reads = statusReads;
                const auto now = std::chrono::steady_clock::now();
                gapUs = std::chrono::duration_cast<std::chrono::microseconds>(now - std::exchange(last, now)).count();
                const int bits = lines ^= bit;
                const Bytes packet = chip->packet(bits);
                if (ep1 >= 0)  // returns once the driver took the packet
                    (void)!::write(ep1, packet.data(), packet.size());
                // Polled: read twice since the change, unless the port is closed.
                while (ep1 < 0 && count == 1 && statusReads < reads + 2 && std::chrono::steady_clock::now() < now + 3s)
                    std::this_thread::sleep_for(200us);
            }
            std::cout << gapUs << std::endl;
        } else if (command.starts_with("out")) {
            std::cout << outputs << std::endl;
        } else {
            std::ofstream(gadget + "/UDC") << (command == "plug" ? argv[2] : "\n");
            std::cout << "ok" << std::endl;
        }
    }
}
