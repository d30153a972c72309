// One USB serial chip, emulated in the guest on a dummy UDC through
// FunctionFS, so the kernel's own driver for it (ch341, pl2303, cp210x,
// cdc-acm) makes its tty. The test drives it on stdin, one command a line,
// one answer a line:
//   edge BIT [COUNT SPACING_US]  toggles the line with this TIOCM bit COUNT
//                                times; a lone edge goes once the driver has
//                                taken the last. Answers the gap before the
//                                last edge in us
//   out                          DTR and RTS as the driver set them (TIOCM)
//   unplug, plug                 unbinds the UDC, binds it again
//   usb_chip CHIP UDC
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::string;

std::atomic<int> lines{0}, outputs{0}, statusReads{0};
std::atomic<std::uint16_t> lineControl{0};  // cp210x reads its line control back

// A chip's lines as its status byte has them: DCD, DSR, CTS, RI.
std::uint8_t statusOf(int bits, const std::uint8_t (&mask)[4])
{
    const int tiocm[4] = {TIOCM_CD, TIOCM_DSR, TIOCM_CTS, TIOCM_RNG};
    std::uint8_t status = 0;
    for (int i = 0; i < 4; ++i)
        status |= bits & tiocm[i] ? mask[i] : 0;
    return status;
}

// DTR and RTS from the chip's set request: `value`'s bits as the chip has them.
void setOutputs(bool dtr, bool rts)
{
    outputs = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
}

struct Chip {
    const char* name;
    const char* ids[3];  // idVendor, idProduct, bcdDevice
    std::uint8_t interfaceClass[3];
    bool interruptIn, filler;     // the status endpoint; CDC-ACM's filler descriptor
    Bytes (*status)(int bits);    // the packet on the interrupt endpoint
    Bytes (*answer)(const usb_ctrlrequest& setup);  // an IN request's data, or what an OUT one sets
};

// Requests not named here answer zeros.
const Chip kChips[] = {
    {"ch341", {"0x1a86", "0x7523", "0x0264"}, {0xff, 0, 0}, true, false,
     [](int bits) { return Bytes{'\0', '\0', char(~statusOf(bits, {8, 2, 1, 4})), '\0'}; },
     [](const usb_ctrlrequest& s) {
         if (s.bRequest == 0xa4)
             setOutputs(!(s.wValue & 0x20), !(s.wValue & 0x40));
         // The version and status reads: the lines inverted.
         return Bytes{char(~statusOf(lines, {8, 2, 1, 4})), char(0xee)};
     }},
    {"pl2303", {"0x067b", "0x2303", "0x0300"}, {0xff, 0, 0}, true, false,
     [](int bits) { return Bytes(8, '\0') + char(statusOf(bits, {1, 2, 0x80, 8})) + '\0'; },
     [](const usb_ctrlrequest& s) {
         if (s.bRequest == 0x22)
             setOutputs(s.wValue & 1, s.wValue & 2);
         return Bytes(1, '\0');  // 0x8080 answered: not taken for a newer model
     }},
    {"cp210x", {"0x10c4", "0xea60", "0x0100"}, {0xff, 0, 0}, false, false, nullptr,
     [](const usb_ctrlrequest& s) {
         const int out = outputs;
         if (s.bRequest == 0x07)  // the high byte says which of DTR and RTS to write
             setOutputs(s.wValue & 0x100 ? s.wValue & 1 : out & TIOCM_DTR, s.wValue & 0x200 ? s.wValue & 2 : out & TIOCM_RTS);
         if (s.bRequest == 0x03)
             lineControl = s.wValue;
         if (s.bRequest == 0x04)
             return Bytes{char(lineControl & 0xff), char(lineControl >> 8)};
         if (s.bRequest == 0xff && s.wValue == 0x370b)
             return Bytes(1, 2);  // CP2102
         if (s.bRequest != 0x08)
             return Bytes();
         ++statusReads;
         return Bytes(1, char(statusOf(lines, {0x80, 0x20, 0x10, 0x40}) | (out & TIOCM_DTR ? 1 : 0) | (out & TIOCM_RTS ? 2 : 0)));
     }},
    {"cdc_acm", {"0x1d6b", "0x0104", "0x0100"}, {2, 2, 1}, true, true,
     [](int bits) { return Bytes{char(0xa1), 0x20, 0, 0, 0, 0, 2, 0, char(statusOf(bits, {1, 2, 0, 8})), 0}; },
     [](const usb_ctrlrequest& s) {
         if (s.bRequest == 0x22)
             setOutputs(s.wValue & 1, s.wValue & 2);
         return Bytes();
     }},
};

Bytes le16(int v) { return Bytes{char(v & 0xff), char(v >> 8)}; }
Bytes le32(std::uint32_t v) { return le16(int(v & 0xffff)) + le16(int(v >> 16)); }

// One interface (CDC-ACM's single-interface form: no class descriptors, which
// FunctionFS refuses, but a filler so the driver finds extra descriptors at
// all), the interrupt endpoint first, then bulk in and out; full and high speed.
Bytes descriptors(const Chip& chip)
{
    const int endpoints = chip.interruptIn ? 3 : 2;
    Bytes all;
    for (int bulk : {64, 512}) {
        all += Bytes{9, USB_DT_INTERFACE, 0, 0, char(endpoints), char(chip.interfaceClass[0]),
                     char(chip.interfaceClass[1]), char(chip.interfaceClass[2]), 0};
        if (chip.filler)
            all += Bytes{3, USB_DT_OTG, 0};
        if (chip.interruptIn)
            all += Bytes{7, USB_DT_ENDPOINT, char(0x81), USB_ENDPOINT_XFER_INT} + le16(16) + char(bulk == 64 ? 1 : 4);
        all += Bytes{7, USB_DT_ENDPOINT, char(0x82), USB_ENDPOINT_XFER_BULK} + le16(bulk) + '\0';
        all += Bytes{7, USB_DT_ENDPOINT, 0x03, USB_ENDPOINT_XFER_BULK} + le16(bulk) + '\0';
    }
    const std::uint32_t count = 1 + (chip.filler ? 1 : 0) + endpoints;
    const std::uint32_t flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP;
    return le32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2) + le32(20 + all.size()) + le32(flags) + le32(count) + le32(count) + all;
}

void put(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

// Answers the driver's control requests for as long as the function lives.
void serveControl(const Chip& chip, int ep0)
{
    usb_functionfs_event event{};
    while (::read(ep0, &event, sizeof event) == sizeof event) {
        if (event.type != FUNCTIONFS_SETUP)
            continue;
        const usb_ctrlrequest& setup = event.u.setup;
        Bytes data = chip.answer(setup);
        if (setup.bRequestType & USB_DIR_IN) {
            data.resize(setup.wLength);
            (void)!::write(ep0, data.data(), data.size());
        } else {
            data.resize(setup.wLength);
            (void)!::read(ep0, data.data(), data.size());
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const Chip* chip = nullptr;
    for (const Chip& c : kChips)
        if (argc == 3 && std::string(argv[1]) == c.name)
            chip = &c;
    if (chip == nullptr) {
        std::fprintf(stderr, "usage: usb_chip ch341|pl2303|cp210x|cdc_acm UDC\n");
        return 2;
    }
    const std::string gadget = std::string("/sys/kernel/config/usb_gadget/") + chip->name, udc = argv[2];
    const std::string function = gadget + "/functions/ffs." + chip->name, mountPoint = std::string("/tmp/ffs-") + chip->name;
    for (const std::string& dir : {gadget, gadget + "/configs/c.1", function, mountPoint})
        ::mkdir(dir.c_str(), 0755);
    put(gadget + "/idVendor", chip->ids[0]);
    put(gadget + "/idProduct", chip->ids[1]);
    put(gadget + "/bcdDevice", chip->ids[2]);
    (void)!::symlink(function.c_str(), (gadget + "/configs/c.1/ffs").c_str());
    if (::mount(chip->name, mountPoint.c_str(), "functionfs", 0, nullptr) != 0)
        return std::perror("functionfs"), 1;
    const int ep0 = ::open((mountPoint + "/ep0").c_str(), O_RDWR);
    const Bytes strings = le32(FUNCTIONFS_STRINGS_MAGIC) + le32(16) + le32(0) + le32(0);
    const Bytes written = descriptors(*chip);
    if (::write(ep0, written.data(), written.size()) < 0 || ::write(ep0, strings.data(), strings.size()) < 0)
        return std::perror("descriptors"), 1;
    std::thread(serveControl, std::cref(*chip), ep0).detach();
    put(gadget + "/UDC", udc);  // ep1 exists now
    const int ep1 = chip->interruptIn ? ::open((mountPoint + "/ep1").c_str(), O_RDWR) : -1;

    Clock::time_point last = Clock::now();
    for (std::string command; std::getline(std::cin, command);) {
        int bit = 0, count = 1, spacingUs = 0;
        long gapUs = 0;
        if (std::sscanf(command.c_str(), "edge %d %d %d", &bit, &count, &spacingUs) >= 1) {
            for (int i = 0; i < count; ++i) {
                std::this_thread::sleep_until(last + std::chrono::microseconds(spacingUs));
                const int reads = statusReads;
                const auto now = Clock::now();
                gapUs = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
                last = now;
                const int bits = lines ^= bit;
                if (ep1 >= 0) {  // returns once the driver took the packet
                    const Bytes packet = chip->status(bits);
                    (void)!::write(ep1, packet.data(), packet.size());
                }
                while (ep1 < 0 && count == 1 && statusReads < reads + 2)  // polled: read twice since the change
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            std::cout << gapUs << std::endl;
        } else if (command == "out") {
            std::cout << outputs << std::endl;
        } else {
            put(gadget + "/UDC", command == "plug" ? udc : "\n");
            std::cout << "ok" << std::endl;
        }
    }
}
