// The custom page size in a job's option text ("PageSize=Custom.WxH" with an optional unit)
// and the rasterizer geometry made of it: a size is either refused or positive and bounded,
// and the geometry argument is always two positive pixel counts.
#include "fuzzcheck.h"
#include "geometry.h"

#include <cmath>
#include <cstring>

namespace
{

bool positiveNumber(const std::string &text, size_t &pos)
{
    const size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
        ++pos;
    return pos > start && text[start] != '0';
}

// "-gWxH" with W and H positive decimal numbers.
bool isGeometry(const std::string &arg)
{
    if (arg.compare(0, 2, "-g") != 0)
        return false;
    size_t pos = 2;
    if (!positiveNumber(arg, pos) || pos >= arg.size() || arg[pos] != 'x')
        return false;
    ++pos;
    return positiveNumber(arg, pos) && pos == arg.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const kResolutions[] = {"600dpi", "300dpi", "1200dpi", "2400dpi", "75dpi"};
    const std::string resolution = kResolutions[size % 5];
    const std::string options(reinterpret_cast<const char *>(data), size); // NUL ends the text

    double width = -1, height = -1;
    if (parseCustomSize(options.c_str(), width, height)) {
        FUZZ_CHECK(std::isfinite(width) && std::isfinite(height));
        FUZZ_CHECK(width > 0 && height > 0 && width < 100000 && height < 100000);
    }

    LogLines log;
    const RasterChoice raster = chooseRaster("Custom", resolution, options.c_str(), log);
    FUZZ_CHECK(isGeometry(raster.geometryArg));
    const std::string &r = raster.resolutionArg;
    FUZZ_CHECK(r == "-r300x300" || r == "-r600x600" || r == "-r1200x1200");
    FUZZ_CHECK(raster.headBytes == (r == "-r1200x1200" ? 64u : 63u));
    const std::vector<std::string> args = rasterizerArgs(2, raster, "-dMediaPosition=1");
    FUZZ_CHECK(!args.empty() && args.back() == "-");
    for (const std::string &line : log)
        FUZZ_CHECK(line.size() < 512);
    return 0;
}
