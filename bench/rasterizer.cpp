// Stands in for Ghostscript when the filter's copy path is measured: ignores its arguments and
// standard input, writes the 63-byte job preamble the filter drops, then 1 GiB (or
// ZLP_BENCH_BYTES) of data as fast as it can, and exits 0.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace
{

bool writeAll(const char *data, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = write(1, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

int main()
{
    // What pxlmono writes first at 600 dpi: 63 bytes.
    static const char preamble[] = "\x1b%-12345X@PJL SET RENDERMODE=GRAYSCALE\n"
                                   "@PJL SET RESOLUTION=600\n";
    static_assert(sizeof preamble - 1 == 63, "the filter drops exactly 63 bytes");

    unsigned long long total = 1ULL << 30;
    if (const char *bytes = std::getenv("ZLP_BENCH_BYTES"))
        total = std::strtoull(bytes, nullptr, 10);

    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7 % 256);

    if (!writeAll(preamble, sizeof preamble - 1))
        return 1;
    while (total > 0) {
        const std::size_t n = total < block.size() ? static_cast<std::size_t>(total) : block.size();
        if (!writeAll(block.data(), n)) {
            std::fprintf(stderr, "bench rasterizer: write failed: %s\n", std::strerror(errno));
            return 1;
        }
        total -= n;
    }
    return 0;
}
