// One job's printer stream, made as the classic filters make it: the PJL header of
// buildJobHeader, Ghostscript's pxlmono output with its own preamble cut off, the PJL trailer;
// the cancel sequence instead of the rest when the job is cancelled.
#pragma once

#include "pjlheader.h"

#include <functional>
#include <string>

struct StreamSink {
    // Writes all bytes or fails (false): the printer is gone.
    std::function<bool(const char *data, size_t length)> write;
    // Polled between reads: true once the job is cancelled.
    std::function<bool()> cancelled;
};

enum class StreamResult { Completed, Cancelled, PrinterGone, RasterizerFailed };

struct StreamStats {
    size_t bytes = 0;  // bytes handed to the printer
    std::string error; // why a job did not complete
};

// `input` is the document (PDF or PostScript) Ghostscript reads; `rawOptions` may carry a
// custom size ("PageSize=Custom.WxH", points). `rasterizer` is the Ghostscript program.
// More than one copy is asked of the printer page by page (PCL XL's PageCopies).
StreamResult streamJob(const char *rasterizer, const std::string &input, const JobRecord &job,
                       const std::string &rawOptions, bool fitPdf, int copies,
                       const StreamSink &sink, StreamStats &stats);
