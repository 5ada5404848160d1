// Fuzzing the command line: up to three arguments split at NUL bytes. The
// port value is checked against the C library's own strtoull, narrowed by
// the 32-bit rules (saturate, then negate modulo 2^32).
#include "app/program.h"
#include "protocol/numbers.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

uint32_t Reference(const char* text)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return 0;
    errno = 0;
    const unsigned long long magnitude = std::strtoull(p, nullptr, 10);
    if (errno == ERANGE || magnitude > 0xFFFFFFFFull)
        return 0xFFFFFFFFu;
    const uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') {
            if (parts.size() == 3)
                break;
            parts.emplace_back();
        } else {
            parts.back().push_back(static_cast<char>(data[i]));
        }
    }
    std::vector<const char*> argv = {"tlxup"};
    for (const std::string& part : parts)
        argv.push_back(part.c_str());
    int32_t first = 0;
    int32_t last = 0;
    uint32_t value = 0;
    const int argc = static_cast<int>(argv.size());
    const int result = ReadCommandLine(argc, argv.data(), &first, &last, &value);
    if (argc >= 3) {
        if (result != kCommandLineUsage)
            std::abort();
        return 0;
    }
    if (value != Reference(argv[1]))
        std::abort();
    const int32_t port = static_cast<int32_t>(value);
    if (port == 0 && (result != kCommandLineScan || first != 1 || last != 16))
        std::abort();
    if (port >= 1 && port <= 99 && (result != kCommandLineScan || first != port || last != port))
        std::abort();
    if ((port < 0 || port > 99) && result != kCommandLineInvalidPort)
        std::abort();
    return 0;
}
