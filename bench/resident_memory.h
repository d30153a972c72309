#pragma once

#include <fstream>
#include <string>

// Resident set of this process in kB, from the kernel's own accounting.
inline double residentKilobytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6));
    return 0;
}

inline double residentMegabytes()
{
    return residentKilobytes() / 1024;
}
