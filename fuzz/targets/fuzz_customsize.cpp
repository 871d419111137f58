// The custom page size in the job's option text, and the rasterizer arguments chosen from it.
// Properties: a size is accepted only inside its bounds, and the arguments are always
// well-formed: one of the three resolutions, "-gWxH" with non-negative whole numbers.
#include "fuzzinput.h"
#include "geometry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> parts = splitInput(data, size, 3);
    const std::string &pageSize = parts[0].empty() ? std::string("Custom") : parts[0];
    const std::string &options = parts[2];

    double width = -1, height = -1;
    if (parseCustomSize(options.c_str(), width, height)) {
        if (!(width > 0 && height > 0 && width < 100000 && height < 100000))
            std::abort();
    }

    LogLines log;
    const RasterChoice choice = chooseRaster(pageSize, parts[1], options.c_str(), log);
    const std::string &r = choice.resolutionArg;
    if (r != "-r300x300" && r != "-r600x600" && r != "-r1200x1200")
        std::abort();
    if (choice.headBytes != (r == "-r1200x1200" ? 64u : 63u))
        std::abort();
    int px = -1, py = -1, used = 0;
    if (std::sscanf(choice.geometryArg.c_str(), "-g%dx%d%n", &px, &py, &used) != 2 ||
        static_cast<size_t>(used) != choice.geometryArg.size() || px < 0 || py < 0)
        std::abort();
    const std::vector<std::string> args = rasterizerArgs(2, choice, "-dMediaPosition=1");
    if (args.empty() || args.back() != "-")
        std::abort();
    return 0;
}
