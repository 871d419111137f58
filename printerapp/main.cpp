// zlp5520nw-printer-app: the ZLP5520NW as an IPP Everywhere printer. PAPPL serves IPP, the web
// page and DNS-SD; this program drives the printer with the very stream the classic filters
// send (one PJL header implementation, Ghostscript's pxlmono output, the PJL trailer).

#include "dnssdguard.h"
#include "jobsettings.h"
#include "jobtext.h"
#include "lockexchange.h"
#include "netdevice.h"
#include "pdfpages.h"
#include "pxlstream.h"
#include "statereasons.h"
#include "statuscatalogue.h"
#include "statusport.h"
#include "timetexts.h"
#include "usbdevice.h"

#include <pappl/pappl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace
{

constexpr char kDriverName[] = "zlp5520nw";
constexpr char kVersion[] = "1.0.0";
// The classic filters' rasterizer, installed with the driver; the app's own package does not
// need the driver's, and then runs Debian's Ghostscript.
constexpr char kDefaultRasterizer[] = "/opt/varn/ZLP5520NW/bin/usb/zlp5520nw/bin/gs";
constexpr char kSystemRasterizer[] = "/usr/bin/gs";
constexpr char kDefaultStateDir[] = "/var/lib/zlp5520nw-printer-app";
// The monitors' poll intervals.
constexpr int kUsbPollSeconds = 5;
constexpr int kNetPollSeconds = 3;
// The print log's words for how a job ended.
constexpr char kCompletedText[] = "打印任务完成";
constexpr char kCancelledText[] = "打印任务被用户取消";

pappl_pr_driver_t kDrivers[] = {{kDriverName, "VARN ZLP5520NW", nullptr, nullptr}};

std::string gRasterizer = kDefaultRasterizer;
bool gShared = false; // -o share=yes: the LAN may use the printers
std::string gStateFile;

// ---------------------------------------------------------------- printer state

pappl_preason_t papplReason(const char *keyword)
{
    static const struct {
        const char *keyword;
        pappl_preason_t bit;
    } kBits[] = {
        {"media-empty", PAPPL_PREASON_MEDIA_EMPTY},
        {"media-low", PAPPL_PREASON_MEDIA_LOW},
        {"media-jam", PAPPL_PREASON_MEDIA_JAM},
        {"media-needed", PAPPL_PREASON_MEDIA_NEEDED},
        {"cover-open", PAPPL_PREASON_COVER_OPEN},
        {"door-open", PAPPL_PREASON_DOOR_OPEN},
        {"input-tray-missing", PAPPL_PREASON_INPUT_TRAY_MISSING},
        {"toner-low", PAPPL_PREASON_TONER_LOW},
        {"toner-empty", PAPPL_PREASON_TONER_EMPTY},
        {"marker-supply-low", PAPPL_PREASON_MARKER_SUPPLY_LOW},
        {"marker-supply-empty", PAPPL_PREASON_MARKER_SUPPLY_EMPTY},
        {"marker-waste-almost-full", PAPPL_PREASON_MARKER_WASTE_ALMOST_FULL},
        {"marker-waste-full", PAPPL_PREASON_MARKER_WASTE_FULL},
        {"offline", PAPPL_PREASON_OFFLINE},
    };
    if (!keyword)
        return PAPPL_PREASON_NONE;
    for (const auto &row : kBits)
        if (std::strcmp(row.keyword, keyword) == 0)
            return row.bit;
    // PAPPL knows no other keywords (opc-near-eol, ...): they show as "other".
    return PAPPL_PREASON_OTHER;
}

// The printer tells no supply levels, only "nearly empty" and "empty": those are shown as 10
// and 0 per cent, anything else as unknown.
void setSupplies(pappl_printer_t *printer, const char *keyword)
{
    auto is = [keyword](const char *k) { return keyword && std::strcmp(keyword, k) == 0; };
    pappl_supply_t supplies[3] = {};
    supplies[0] = {PAPPL_SUPPLY_COLOR_BLACK, "Toner", true, -1, PAPPL_SUPPLY_TYPE_TONER};
    supplies[1] = {PAPPL_SUPPLY_COLOR_NO_COLOR, "Drum", false, -1, PAPPL_SUPPLY_TYPE_OPC};
    supplies[2] = {PAPPL_SUPPLY_COLOR_NO_COLOR, "Waste Toner", false, -1,
                   PAPPL_SUPPLY_TYPE_WASTE_TONER};
    if (is("toner-low"))
        supplies[0].level = 10;
    else if (is("toner-empty"))
        supplies[0].level = 0;
    else if (is("opc-near-eol"))
        supplies[1].level = 10;
    else if (is("opc-life-over"))
        supplies[1].level = 0;
    else if (is("marker-waste-almost-full"))
        supplies[2].level = 10;
    else if (is("marker-waste-full"))
        supplies[2].level = 0;
    papplPrinterSetSupplies(printer, 3, supplies);
}

void printerCreated(pappl_printer_t *printer, void *)
{
    setSupplies(printer, nullptr);
    // A printer that only this machine may use is not announced on the network. (PAPPL calls
    // this for printers read back from the state file too.)
    if (!gShared)
        papplPrinterSetDNSSDName(printer, nullptr);
}

// The printer's reply (CR-separated "CODE=" lines) becomes the printer's reasons.
void applyStatus(pappl_printer_t *printer, const std::string &reply)
{
    const int code = mostSevereCode(reply);
    if (code == 0)
        return;
    const StateReason reason = stateReasonOf(code);
    const pappl_preason_t bit = papplReason(reason.keyword);
    constexpr pappl_preason_t kOurs = PAPPL_PREASON_DEVICE_STATUS & ~PAPPL_PREASON_SPOOL_AREA_FULL;
    const pappl_preason_t before = papplPrinterGetReasons(printer) & kOurs;
    if (before != bit) {
        papplPrinterSetReasons(printer, bit, kOurs & ~bit);
        setSupplies(printer, reason.keyword);
        papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Printer status CODE=%d %s: %s", code,
                        reason.keyword ? reasonValue(reason).c_str() : "none",
                        stateMessageOf(code).c_str());
    }
}

// The status lines of a text that may also hold a lock reply ("CODE=00001"): only codes of
// the catalogue's size, five digits from 10000, are printer states.
std::string statusLinesOnly(const std::string &text)
{
    std::string lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\r', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (statusLineCode(line) >= 10000)
            lines += line + "\r";
    }
    return lines;
}

// ---------------------------------------------------------------- job path

JobRecord jobRecord(pappl_job_t *job, const JobOptions &options, const SecureKey &key)
{
    JobRecord record;
    record.options = options;
    record.key = key.key;
    const char *user = papplJobGetUsername(job);
    const char *title = papplJobGetName(job);
    record.user = sanitizeValue(user ? user : "");
    record.title = sanitizeValue(title ? title : "");
    utsname node = {};
    record.host = uname(&node) == 0 ? sanitizeValue(node.nodename) : "localhost.localdomain";
    const time_t now = time(nullptr);
    std::tm local = {};
    localtime_r(&now, &local);
    const TimeTexts times = formatTimeTexts(local);
    record.printLogTime = times.printLogTime;
    record.startTime = times.startTime;
    return record;
}

std::string jobText(pappl_job_t *job, const char *name)
{
    ipp_attribute_t *attr = papplJobGetAttribute(job, name);
    if (!attr)
        return {};
    char value[256] = {};
    ippAttributeString(attr, value, sizeof value);
    return value;
}

IppJobSettings ippSettings(pappl_job_t *job, const pappl_pr_options_t *options)
{
    IppJobSettings s;
    s.mediaName = options->media.size_name;
    s.mediaWidth = options->media.size_width;
    s.mediaLength = options->media.size_length;
    s.mediaSource = options->media.source;
    s.mediaType = options->media.type;
    s.sides = options->sides == PAPPL_SIDES_TWO_SIDED_LONG_EDGE    ? "two-sided-long-edge"
              : options->sides == PAPPL_SIDES_TWO_SIDED_SHORT_EDGE ? "two-sided-short-edge"
                                                                   : "one-sided";
    // A resolution the job names wins; print-quality alone means the queue's choices: draft
    // 300, normal 600 (the classic queue's default), high 1200 dpi. (PAPPL itself would take
    // the middle of the list, 1200, for normal.)
    if (papplJobGetAttribute(job, "printer-resolution"))
        s.resolution = options->printer_resolution[0];
    else
        s.resolution = options->print_quality == IPP_QUALITY_DRAFT  ? 300
                       : options->print_quality == IPP_QUALITY_HIGH ? 1200
                                                                    : 600;
    // PAPPL fills print-darkness from the printer's default; only a job's own value counts.
    if (papplJobGetAttribute(job, "print-darkness"))
        s.darkness = options->print_darkness;
    for (int i = 0; i < options->num_vendor; ++i)
        s.vendor[options->vendor[i].name] = options->vendor[i].value;
    return s;
}

// The PIN a job carries: our job attribute, or job-password when a client put it there.
std::string jobPin(pappl_job_t *job)
{
    std::string pin = jobText(job, kPinAttribute);
    if (pin.empty())
        pin = jobText(job, "job-password");
    return pin;
}

enum class LockWait { Granted, Cancelled, Lost };

// Before each job on the network: ask the printer until it lets us print.
LockWait waitForLock(pappl_job_t *job, pappl_device_t *device)
{
    pappl_printer_t *printer = papplJobGetPrinter(job);
    const int fd = networkSocket(device, papplPrinterGetDeviceURI(printer));
    if (fd < 0) {
        papplJobSetMessage(job, "打印机正在打印"); // no longer waiting for a busy device
        return LockWait::Granted;
    }
    bool lost = false;
    LockChannel channel;
    channel.write = [fd, &lost](const char *data, size_t length) {
        size_t done = 0;
        while (done < length && !lost) {
            const ssize_t n = send(fd, data + done, length - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                pollfd p = {fd, POLLOUT, 0};
                lost = poll(&p, 1, 10000) == 0; // twelve bytes that do not go in ten seconds
                continue;
            }
            if (n <= 0)
                lost = true;
            else
                done += static_cast<size_t>(n);
        }
        return !lost;
    };
    channel.read = [fd, printer, &lost](double seconds) {
        char buffer[10240];
        const ssize_t n = lost ? -1 : readWithin(fd, buffer, sizeof buffer - 1, seconds);
        lost = lost || n < 0; // the printer closed the connection
        const std::string text = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
        // The printer may tell its state in the same breath as its answer.
        applyStatus(printer, statusLinesOnly(text));
        return text;
    };
    for (;;) {
        const LockAnswer answer = askPrinterLock(channel, 2.0);
        if (answer == LockAnswer::MayPrint) {
            papplJobSetMessage(job, "打印机正在打印");
            return LockWait::Granted;
        }
        if (lost)
            return LockWait::Lost;
        papplJobSetMessage(job, "%s",
                           answer == LockAnswer::Busy ? kBusyMessage : kConnectingMessage);
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "LockPrinter?: %s",
                    answer == LockAnswer::Busy ? "busy" : "no answer");
        for (int i = 0; i < 10; ++i) {
            if (papplJobIsCanceled(job))
                return LockWait::Cancelled;
            usleep(100000);
        }
    }
}

// The whole job: options, key, lock, stream. `document` is PDF or PostScript.
bool printDocument(pappl_job_t *job, pappl_device_t *device, const std::string &document, bool pdf,
                   const pappl_pr_options_t *given)
{
    pappl_pr_options_t *own = given ? nullptr : papplJobCreatePrintOptions(job, 1, false);
    const pappl_pr_options_t *options = given ? given : own;
    LogLines log;
    std::string rawOptions;
    const IppJobSettings settings = ippSettings(job, options);
    const JobOptions jobOptions = settleOptions(settings, rawOptions, log);
    const std::string pin = jobPin(job);
    const SecureKey key = secureKey(pin, log);
    const int copies = options->copies > 0 ? options->copies : 1;
    if (own)
        papplJobDeletePrintOptions(own);

    if (checkPin(pin) == PinCheck::Refused) {
        // A key of one to three digits, or not digits, cannot release the job at the printer.
        papplJobSetMessage(job, "%s", kPinRefusedMessage);
        papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Secure-print PIN refused: not four digits.");
        return false;
    }

    if (pdf) {
        // Ghostscript "prints" an unreadable PDF as a job without pages and exits 0: look first.
        std::string error;
        const int pages = pdfPageCount(document.c_str(), error);
        if (pages <= 0) {
            papplJobSetMessage(job, "无法处理文档：%s",
                               error.empty() ? "PDF 没有页面" : sanitizeValue(error).c_str());
            papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unreadable PDF: %s", error.c_str());
            return false;
        }
        papplJobSetImpressions(job, pages * copies);
    }

    pappl_printer_t *printer = papplJobGetPrinter(job);
    const char *uri = papplPrinterGetDeviceURI(printer);
    if (!beginNetworkJob(device, uri)) {
        papplJobSetMessage(job, "打印机通信失败：无法连接打印机");
        papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
        return false;
    }
    // Whatever way the job ends, its connection ends with it; what the printer says until it
    // closes is its state.
    struct JobConnection {
        pappl_device_t *device;
        const char *uri;
        pappl_printer_t *printer;
        ~JobConnection()
        {
            endNetworkJob(device, uri, [this](const std::string &text) {
                applyStatus(printer, statusLinesOnly(text));
            });
        }
    } connection{device, uri, printer};

    switch (waitForLock(job, device)) {
    case LockWait::Granted:
        break;
    case LockWait::Cancelled:
        papplJobSetMessage(job, "%s", kCancelledText);
        return true; // nothing was sent
    case LockWait::Lost:
        papplJobSetMessage(job, "打印机通信失败：连接已断开");
        papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
        return false;
    }

    const int fd = networkSocket(device, uri);
    StreamSink sink;
    sink.write = [device, fd, printer](const char *data, size_t length) {
        if (papplDeviceWrite(device, data, length) < 0)
            return false;
        if (fd >= 0) {
            // What the network printer says while it takes the job is its state.
            char reply[2048];
            const ssize_t n = recv(fd, reply, sizeof reply - 1, MSG_DONTWAIT);
            if (n > 0)
                applyStatus(printer, std::string(reply, static_cast<size_t>(n)));
        }
        return true;
    };
    sink.cancelled = [job] { return papplJobIsCanceled(job); };

    StreamStats stats;
    const JobRecord record = jobRecord(job, jobOptions, key);
    const StreamResult result =
        streamJob(gRasterizer.c_str(), document, record, rawOptions, pdf, copies, sink, stats);
    papplDeviceFlush(device);
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "%lu bytes to the printer.",
                static_cast<unsigned long>(stats.bytes));
    switch (result) {
    case StreamResult::Completed:
        papplJobSetMessage(job, "%s", kCompletedText);
        return true;
    case StreamResult::Cancelled:
        papplJobSetMessage(job, "%s", kCancelledText);
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Cancelled: cancel sequence sent.");
        return true;
    case StreamResult::PrinterGone:
        papplJobSetMessage(job, "打印机通信失败：%s", stats.error.c_str());
        papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
        return false;
    case StreamResult::RasterizerFailed:
        papplJobSetMessage(job, "无法处理文档：%s", stats.error.c_str());
        papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        return false;
    }
    return false;
}

bool documentFilter(pappl_job_t *job, pappl_device_t *device, void *)
{
    const char *format = papplJobGetFormat(job);
    const char *file = papplJobGetFilename(job);
    if (!file)
        return false;
    return printDocument(job, device, file, format && std::strcmp(format, "application/pdf") == 0,
                         nullptr);
}

// ---------------------------------------------------------------- raster path

// JPEG, PNG, PWG and Apple raster arrive as PAPPL's 1-bit black raster lines. Each page becomes
// a PostScript image in a spool file that Ghostscript then renders exactly like a document.
struct RasterJob {
    std::string path;
    FILE *file = nullptr;
};

bool rasterStartJob(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *)
{
    auto *raster = new RasterJob;
    char path[1024];
    const int fd = papplJobOpenFile(job, path, sizeof path, nullptr, "ps", "w");
    if (fd < 0 || !(raster->file = fdopen(fd, "w"))) {
        if (fd >= 0)
            close(fd);
        delete raster;
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to create the page file: %s",
                    std::strerror(errno));
        return false;
    }
    raster->path = path;
    std::fputs("%!PS-Adobe-3.0\n", raster->file);
    papplJobSetData(job, raster);
    return true;
}

bool rasterStartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned)
{
    auto *raster = static_cast<RasterJob *>(papplJobGetData(job));
    const auto &h = options->header;
    // The page's pixels cover the whole sheet; 1 is black in PWG's black_1.
    std::fprintf(raster->file,
                 "gsave %u %u scale\n"
                 "<< /ImageType 1 /Width %u /Height %u /BitsPerComponent 1 /Decode [1 0]\n"
                 "   /ImageMatrix [%u 0 0 -%u 0 %u] /DataSource currentfile >> image\n",
                 h.PageSize[0], h.PageSize[1], h.cupsWidth, h.cupsHeight, h.cupsWidth, h.cupsHeight,
                 h.cupsHeight);
    return !std::ferror(raster->file);
}

bool rasterWriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned,
                     const unsigned char *line)
{
    auto *raster = static_cast<RasterJob *>(papplJobGetData(job));
    const size_t bytes = (options->header.cupsWidth + 7) / 8;
    return std::fwrite(line, 1, bytes, raster->file) == bytes;
}

bool rasterEndPage(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *, unsigned)
{
    auto *raster = static_cast<RasterJob *>(papplJobGetData(job));
    std::fputs("\ngrestore showpage\n", raster->file);
    return !std::ferror(raster->file);
}

bool rasterEndJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device)
{
    auto *raster = static_cast<RasterJob *>(papplJobGetData(job));
    papplJobSetData(job, nullptr);
    if (!raster)
        return false;
    const bool written = std::fclose(raster->file) == 0;
    if (papplJobIsCanceled(job)) {
        // PAPPL stopped reading the pages: the client cancelled, or sent raster data it could
        // not read. Nothing reaches the printer.
        if (papplJobGetState(job) == IPP_JSTATE_ABORTED) {
            papplJobSetMessage(job, "无法处理文档：光栅数据无效");
            papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
        } else {
            papplJobSetMessage(job, "%s", kCancelledText);
        }
        unlink(raster->path.c_str());
        delete raster;
        return false;
    }
    // PAPPL repeats the pages of JPEG and PNG jobs for each copy itself; PWG and Apple raster
    // come as they are, and the printer makes their copies.
    const char *format = papplJobGetFormat(job);
    const bool streamed =
        format && (!std::strcmp(format, "image/pwg-raster") || !std::strcmp(format, "image/urf"));
    pappl_pr_options_t single = *options;
    if (!streamed)
        single.copies = 1;
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Raster lines at %ux%u dpi, job resolution %dx%d dpi",
                options->header.HWResolution[0], options->header.HWResolution[1],
                options->printer_resolution[0], options->printer_resolution[1]);
    const bool ok = written && printDocument(job, device, raster->path, false, &single);
    unlink(raster->path.c_str());
    delete raster;
    return ok;
}

// ---------------------------------------------------------------- driver

void addKeywords(ipp_t *attrs, const std::string &name, const std::vector<const char *> &values)
{
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (name + "-supported").c_str(),
                  static_cast<int>(values.size()), nullptr, values.data());
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (name + "-default").c_str(), nullptr,
                 values.front());
}

bool driverCallback(pappl_system_t *, const char *driverName, const char *, const char *,
                    pappl_pr_driver_data_t *data, ipp_t **attrs, void *)
{
    if (std::strcmp(driverName, kDriverName) != 0)
        return false;
    data->rstartjob_cb = rasterStartJob;
    data->rstartpage_cb = rasterStartPage;
    data->rwriteline_cb = rasterWriteLine;
    data->rendpage_cb = rasterEndPage;
    data->rendjob_cb = rasterEndJob;
    // No raw format: clients never reach the printer but through our stream.
    data->format = "image/pwg-raster";
    std::snprintf(data->make_and_model, sizeof data->make_and_model, "VARN ZLP5520NW");
    data->ppm = 30;
    data->kind = PAPPL_KIND_DOCUMENT | PAPPL_KIND_ENVELOPE | PAPPL_KIND_POSTCARD;
    data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    data->force_raster_type = PAPPL_PWG_RASTER_TYPE_BLACK_1;
    data->duplex = PAPPL_DUPLEX_NORMAL;
    data->sides_supported =
        PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->num_resolution = 4;
    const int dpi[] = {300, 600, 1200, 2400};
    for (int i = 0; i < 4; ++i)
        data->x_resolution[i] = data->y_resolution[i] = dpi[i];
    data->x_default = data->y_default = 600;
    // The PPD's imageable area: 12 points on every side.
    data->left_right = 423;
    data->bottom_top = 423;
    data->num_media = 0;
    for (const MediaRow &row : mediaTable())
        data->media[data->num_media++] = row.pwgName;
    data->media[data->num_media++] = "custom_max_8.5x14in";
    data->media[data->num_media++] = "custom_min_2.75x3.93in";
    data->num_source = 0;
    for (const NameRow &row : sourceTable())
        data->source[data->num_source++] = row.pwgName;
    data->num_type = 0;
    for (const NameRow &row : typeTable())
        data->type[data->num_type++] = row.pwgName;
    pwg_media_t *a4 = pwgMediaForPWG("iso_a4_210x297mm");
    papplCopyString(data->media_default.size_name, a4->pwg, sizeof data->media_default.size_name);
    data->media_default.size_width = a4->width;
    data->media_default.size_length = a4->length;
    data->media_default.left_margin = data->media_default.right_margin = data->left_right;
    data->media_default.top_margin = data->media_default.bottom_margin = data->bottom_top;
    papplCopyString(data->media_default.source, "auto", sizeof data->media_default.source);
    papplCopyString(data->media_default.type, "stationery", sizeof data->media_default.type);
    for (int i = 0; i < data->num_source; ++i) {
        data->media_ready[i] = data->media_default;
        papplCopyString(data->media_ready[i].source, data->source[i],
                        sizeof data->media_ready[i].source);
    }
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->has_supplies = true;
    data->darkness_supported = 5;
    data->darkness_default = 50;
    data->identify_supported = PAPPL_IDENTIFY_ACTIONS_NONE;

    *attrs = ippNew();
    data->num_vendor = 0;
    for (const VendorAttribute &attribute : vendorAttributes()) {
        data->vendor[data->num_vendor++] = attribute.name;
        if (attribute.values.empty()) {
            const std::string name = attribute.name;
            ippAddRange(*attrs, IPP_TAG_PRINTER, (name + "-supported").c_str(), 50, 200);
            ippAddInteger(*attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, (name + "-default").c_str(),
                          100);
        } else {
            addKeywords(*attrs, attribute.name, attribute.values);
        }
    }
    // Ghostscript renders every document the same way: one intent, and no preferred values.
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default",
                 nullptr, "auto");
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported",
                 nullptr, "auto");
    ippAddBoolean(*attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    // Like job-password-supported: the PIN's length.
    ippAddInteger(*attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER,
                  (std::string(kPinAttribute) + "-supported").c_str(), 4);
    return true;
}

const char *autoAdd(const char *, const char *, const char *deviceId, void *)
{
    return deviceId && std::strstr(deviceId, "MDL:ZLP5520NW") ? kDriverName : nullptr;
}

// ---------------------------------------------------------------- status polls

struct PollScope {
    bool network;
};

// The replies to "GetStatus;", shared with the network monitor (see statusport.h).
statusport::StatusPort gStatusPort;

void pollNetworkPrinter(pappl_printer_t *printer, const char *uri)
{
    char scheme[32], userpass[64], host[256], resource[64];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, userpass, sizeof userpass,
                        host, sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return;
    http_addrlist_t *list = httpAddrGetList(host, AF_INET, nullptr);
    if (!list)
        return;
    const uint32_t address = ntohl(list->addr.ipv4.sin_addr.s_addr);
    httpAddrFreeList(list);
    gStatusPort.poll(
        address, [printer](const std::string &reply) { applyStatus(printer, reply); },
        [printer](bool debug, const std::string &line) {
            papplLogPrinter(printer, debug ? PAPPL_LOGLEVEL_DEBUG : PAPPL_LOGLEVEL_INFO, "%s",
                            line.c_str());
        });
}

void pollUsbPrinter(pappl_printer_t *printer)
{
    // Only a free device is asked: a job, the classic queue's backend or the monitor may hold
    // it, and then this poll is skipped and the next one tries again.
    pappl_device_t *device = papplPrinterOpenDevice(printer);
    if (!device)
        return;
    static const char kRequest[] = "CheckStatus?";
    char reply[8193] = {};
    ssize_t n = -1;
    if (papplDeviceWrite(device, kRequest, sizeof kRequest - 1) >= 0) {
        papplDeviceFlush(device);
        n = papplDeviceRead(device, reply, sizeof reply - 1);
    }
    papplPrinterCloseDevice(printer);
    if (n > 0)
        applyStatus(printer, std::string(reply, std::strlen(reply)));
}

void pollPrinter(pappl_printer_t *printer, void *data)
{
    const bool network = static_cast<PollScope *>(data)->network;
    const char *uri = papplPrinterGetDeviceURI(printer);
    if (!network && isUsbUri(uri))
        noteDeviceBusy(printer);
    if (!uri || papplPrinterGetNumberOfActiveJobs(printer) > 0)
        return;
    if (network && isNetworkUri(uri))
        pollNetworkPrinter(printer, uri);
    else if (!network && isUsbUri(uri))
        pollUsbPrinter(printer);
}

bool pollTimer(pappl_system_t *system, void *data)
{
    papplSystemIteratePrinters(system, pollPrinter, data);
    return true;
}

// ---------------------------------------------------------------- system

bool saveState(pappl_system_t *system, void *)
{
    return papplSystemSaveState(system, gStateFile.c_str());
}

pappl_loglevel_t logLevel(const char *value)
{
    if (!value)
        return PAPPL_LOGLEVEL_INFO;
    if (!std::strcmp(value, "debug"))
        return PAPPL_LOGLEVEL_DEBUG;
    if (!std::strcmp(value, "warn"))
        return PAPPL_LOGLEVEL_WARN;
    if (!std::strcmp(value, "error"))
        return PAPPL_LOGLEVEL_ERROR;
    return PAPPL_LOGLEVEL_INFO;
}

pappl_system_t *systemCallback(int numOptions, cups_option_t *options, void *)
{
    auto option = [&](const char *name) { return cupsGetOption(name, numOptions, options); };
    const char *portText = option("server-port");
    const int port = portText ? std::atoi(portText) : 8631;
    const char *stateDir = option("state-directory");
    if (!stateDir)
        stateDir =
            std::getenv("ZLP_APP_STATE_DIR") ? std::getenv("ZLP_APP_STATE_DIR") : kDefaultStateDir;
    mkdir(stateDir, 0700);
    const std::string spool = std::string(stateDir) + "/spool";
    mkdir(spool.c_str(), 0700);
    gStateFile = std::string(stateDir) + "/state";
    if (const char *gs = std::getenv("ZLP_APP_RASTERIZER"))
        gRasterizer = gs;
    else if (access(kDefaultRasterizer, X_OK) != 0)
        gRasterizer = kSystemRasterizer;
    // Sharing is off unless the administrator turns it on, as with CUPS's printer sharing.
    const char *share = option("share");
    const bool shared = share && (!std::strcmp(share, "yes") || !std::strcmp(share, "true"));
    gShared = shared;

    pappl_soptions_t soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
    if (shared)
        soptions |= PAPPL_SOPTIONS_WEB_REMOTE | PAPPL_SOPTIONS_WEB_SECURITY;
    const char *logFile = option("log-file");
    pappl_system_t *system = papplSystemCreate(
        soptions, "ZLP5520NW Printer Application", port, "_print,_universal", spool.c_str(),
        logFile ? logFile : "-", logLevel(option("log-level")), shared ? "login" : nullptr, false);
    if (!system)
        return nullptr;
    if (!papplSystemAddListeners(system, shared ? nullptr : "localhost")) {
        papplSystemDelete(system);
        return nullptr;
    }
    if (!shared)
        papplSystemSetDNSSDName(system, nullptr);
    if (!shared)
        papplLog(system, PAPPL_LOGLEVEL_INFO,
                 "Serving this machine only (localhost): nothing is advertised on the network. "
                 "Start with -o share=yes to share the printer (the service "
                 "zlp5520nw-printer-app: SHARE=yes in /etc/default/zlp5520nw-printer-app).");
    papplSystemSetPrinterDrivers(system, 1, kDrivers, autoAdd, printerCreated, driverCallback,
                                 nullptr);
    papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", documentFilter,
                             nullptr);
    papplSystemAddMIMEFilter(system, "application/postscript", "image/pwg-raster", documentFilter,
                             nullptr);
    papplSystemSetFooterHTML(system, "ZLP5520NW Printer Application");
    static PollScope usb = {false}, net = {true};
    papplSystemAddTimerCallback(system, 0, kUsbPollSeconds, pollTimer, &usb);
    papplSystemAddTimerCallback(system, 0, kNetPollSeconds, pollTimer, &net);
    papplSystemLoadState(system, gStateFile.c_str());
    papplSystemSetSaveCallback(system, saveState, nullptr);
    return system;
}

} // namespace

int main(int argc, char *argv[])
{
    addNetworkScheme();
    const int status = papplMainloop(argc, argv, kVersion, nullptr, 1, kDrivers, autoAdd,
                                     driverCallback, nullptr, nullptr, systemCallback, nullptr,
                                     nullptr);
    // PAPPL's own words for it are "Unable to create service browser.": say what it means.
    bool devices = false;
    for (int i = 1; i < argc; ++i)
        devices = devices || std::strcmp(argv[i], "devices") == 0;
    if (devices && dnssdListingRefused())
        std::puts(kNoDnssdLine);
    return status;
}
