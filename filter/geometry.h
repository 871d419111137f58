// Rasterizer arguments chosen from the job's options: resolution, page
// geometry in device pixels, and the argument list of each duplex mode.
#pragma once

#include "joboptions.h"

#include <string>
#include <vector>

struct RasterChoice {
    std::string resolutionArg; // "-r600x600"
    std::string geometryArg;   // "-g4961x7016"
    size_t headBytes = 63;     // bytes of the rasterizer's preamble to drop
    bool fellBack = false;     // an unknown size or resolution was replaced
};

// `rawOptions` is the job's option text (may be null); custom sizes are read
// from its "PageSize=Custom.WxH" item.
RasterChoice chooseRaster(const std::string &pageSize, const std::string &resolution,
                          const char *rawOptions, LogLines &log);

// Custom size in points to device pixels at 600 dpi, before the resolution
// factor; false when the text holds no usable size.
bool parseCustomSize(const char *rawOptions, double &widthPoints, double &heightPoints);

std::vector<std::string> rasterizerArgs(int duplexMode, const RasterChoice &raster,
                                        const char *mediaPosition);
