#include "geometry.h"

#include "jobtext.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace
{

#define TAG "DEBUG:[VARN-ZLP5520NW]"

struct SizeRow {
    const char *name;
    const char *g300, *g600, *g1200;
};

// Device pixels per size and resolution. The values are the printer's own and
// do not all follow one rule, so they stay a table.
const SizeRow kSizes[] = {
    {"A4", "-g2480x3508", "-g4961x7016", "-g9922x14032"},
    {"Letter", "-g2550x3300", "-g5100x6600", "-g10200x13200"},
    {"Legal", "-g2550x4200", "-g5100x8400", "-g10200x16800"},
    {"MexicoLegal", "-g2550x4014", "-g5100x8028", "-g10200x16056"},
    {"IndiaLegal", "-g2538x4074", "-g5076x8148", "-g10152x16296"},
    {"Executive", "-g2175x3150", "-g4350x6300", "-g8700x12600"},
    {"Folio", "-g2550x3900", "-g5100x7800", "-g10200x15600"},
    {"A5", "-g1752x2480", "-g3505x4960", "-g7010x9920"},
    {"A5L", "-g2480x1748", "-g4960x3496", "-g9920x6992"},
    {"A6", "-g1240x1748", "-g2480x3496", "-g4960x6992"},
    {"Env10", "-g1237x2850", "-g2475x5700", "-g4950x11400"},
    {"EnvMonarch", "-g1162x2250", "-g2325x4500", "-g4650x9000"},
    {"EnvDL", "-g1299x2598", "-g2599x5197", "-g5198x10394"},
    {"EnvC5", "-g1917x2705", "-g3835x5410", "-g7670x10820"},
    {"ISOB5", "-g2078x2950", "-g4157x5900", "-g8314x11800"},
    {"B5", "-g2134x3020", "-g4268x6041", "-g8536x12082"},
    {"ISOB6", "-g1476x2078", "-g2953x4157", "-g5906x8314"},
    {"B6", "-g1512x2149", "-g3024x4299", "-g6048x8598"},
    {"4x6", "-g1204x1795", "-g2409x3591", "-g4818x7182"},
    {"Postcard", "-g1181x1748", "-g2362x3496", "-g4724x6992"},
    {"DoublePostcardRotated", "-g2362x1748", "-g4724x3496", "-g9448x6992"},
    {"EnvYou4", "-g1240x2775", "-g2480x5551", "-g4960x11102"},
    {"195x270mm", "-g2303x3189", "-g4606x6378", "-g9212x12756"},
    {"184x260mm", "-g2173x3070", "-g4346x6141", "-g8692x12282"},
    {"197x273mm", "-g2327x3224", "-g4654x6449", "-g9308x12898"},
    {"CUSTOM1", "-g2479x3508", "-g4958x7016", "-g9916x14032"},
    {"CUSTOM2", "-g2479x3508", "-g4958x7016", "-g9916x14032"},
    {"CUSTOM3", "-g2479x3508", "-g4958x7016", "-g9916x14032"},
};

enum Column { k300, k600, k1200, kNone };

Column column(const std::string &resolution)
{
    if (resolution == "300dpi")
        return k300;
    if (resolution == "600dpi")
        return k600;
    if (resolution == "1200dpi" || resolution == "2400dpi")
        return k1200;
    return kNone;
}

const char *const kResolutionArgs[] = {"-r300x300", "-r600x600", "-r1200x1200"};
const double kColumnFactor[] = {0.5, 1.0, 2.0};

const char *tableGeometry(const SizeRow &row, Column c)
{
    const char *g[] = {row.g300, row.g600, row.g1200};
    return g[c];
}

const SizeRow *findSize(const std::string &name)
{
    for (const SizeRow &row : kSizes)
        if (name == row.name)
            return &row;
    return nullptr;
}

// Points per unit of the size suffixes CUPS accepts in custom sizes.
double unitFactor(const char *unit)
{
    if (*unit == '\0' || strcasecmp(unit, "pt") == 0)
        return 1.0;
    if (strcasecmp(unit, "mm") == 0)
        return 72.0 / 25.4;
    if (strcasecmp(unit, "cm") == 0)
        return 72.0 / 2.54;
    if (strcasecmp(unit, "in") == 0)
        return 72.0;
    if (strcasecmp(unit, "ft") == 0)
        return 864.0;
    if (strcasecmp(unit, "m") == 0)
        return 72.0 / 0.0254;
    return 0.0;
}

std::string line(const char *form, const char *a, const char *b = "", const char *c = "",
                 const char *d = "")
{
    char text[512];
    std::snprintf(text, sizeof text, form, a, b, c, d);
    return text;
}

} // namespace

bool parseCustomSize(const char *rawOptions, double &widthPoints, double &heightPoints)
{
    widthPoints = heightPoints = 0.0;
    const char *start = rawOptions ? std::strstr(rawOptions, "PageSize=Custom.") : nullptr;
    if (!start)
        return false;
    char word[14] = {};
    if (std::sscanf(start + std::strlen("PageSize=Custom."), "%13s", word) != 1)
        return false;
    float width = 0, height = 0;
    int used = 0;
    if (std::sscanf(word, "%fx%f%n", &width, &height, &used) != 2)
        return false;
    // CUPS takes points by default and a unit suffix for other sizes.
    const double factor = unitFactor(word + used);
    widthPoints = width * factor;
    heightPoints = height * factor;
    return widthPoints > 0 && heightPoints > 0 && widthPoints < 100000 && heightPoints < 100000;
}

RasterChoice chooseRaster(const std::string &pageSize, const std::string &resolution,
                          const char *rawOptions, LogLines &log)
{
    RasterChoice choice;
    Column c = column(resolution);
    if (c == kNone) {
        // An unknown resolution would leave gs without a device size: print at 600 dpi.
        c = k600;
        choice.fellBack = true;
    }
    choice.resolutionArg = kResolutionArgs[c];
    choice.headBytes = c == k1200 ? 64 : 63;

    if (pageSize == "Custom") {
        double width = 0, height = 0;
        int px = 0, py = 0;
        if (parseCustomSize(rawOptions, width, height)) {
            px = static_cast<int>(width * 8.336134453781513 * kColumnFactor[c]);
            py = static_cast<int>(height * 8.332541567695962 * kColumnFactor[c]);
        }
        // A size below one device pixel (".1x1") would make Ghostscript refuse the whole
        // job with a rangecheck: such a size is as unusable as an unreadable one.
        if (px >= 1 && py >= 1) {
            char text[LineBuffer::kLineSize];
            std::snprintf(text, sizeof text, TAG "Custom.widthxheight = %f*%f\n", width, height);
            log.push_back(text);
            std::snprintf(text, sizeof text, "-g%dx%d", px, py);
            choice.geometryArg = text;
            log.push_back(line(TAG "Custom.widthxheight = %s\n", text));
        } else {
            choice.geometryArg = tableGeometry(kSizes[0], c);
        }
    } else if (const SizeRow *row = findSize(pageSize)) {
        choice.geometryArg = tableGeometry(*row, c);
    } else {
        // A size the printer's table does not know prints on A4.
        choice.geometryArg = tableGeometry(kSizes[0], c);
        choice.fellBack = true;
    }

    log.push_back(line(TAG "compute papersize*************: \n paperSize = %s\n resolution = "
                           "%s\n resolutionsg = %s\n pageWidthHeight = %s\n",
                       pageSize.c_str(), resolution.c_str(), choice.resolutionArg.c_str(),
                       choice.geometryArg.c_str()));
    return choice;
}

std::vector<std::string> rasterizerArgs(int duplexMode, const RasterChoice &raster,
                                        const char *mediaPosition)
{
    std::vector<std::string> args = {"gs", "-dBATCH", "-dPARANOIDSAFER", "-dNOMEDIAATTRS"};
    if (duplexMode == 1 || duplexMode == 2)
        args.push_back("-dDuplex");
    if (duplexMode == 2)
        args.push_back("-dTumble");
    args.insert(args.end(), {"-dNOINTERPOLATE", "-sDEVICE=pxlmono", "-dNumRenderingThreads=4",
                             raster.resolutionArg});
    if (duplexMode == 2)
        args.insert(args.end(), {mediaPosition, raster.geometryArg, "-q"});
    else
        args.insert(args.end(), {raster.geometryArg, "-q", mediaPosition});
    // Whatever the job or Ghostscript prints goes to standard error, never into
    // the printer data on standard output.
    args.insert(args.end(), {"-dNOPAUSE", "-dSAFER", "-sstdout=%stderr", "-sOutputFile=-", "-"});
    return args;
}
