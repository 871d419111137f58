#include "pjlheader.h"

#include <cstdlib>
#include <cstring>

namespace
{

#define TAG "DEBUG:[VARN-ZLP5520NW]"

struct Row {
    const char *value;
    const char *lines;
};

// Looks a value up in a table of PJL line groups; nullptr when no row names it.
template <size_t N> const char *lookup(const Row (&table)[N], const std::string &value)
{
    for (const Row &row : table)
        if (value == row.value)
            return row.lines;
    return nullptr;
}

const Row kResolution[] = {
    {"300dpi", "@PJL SET RESOLUTION=300\n@PJL SET HQMMODE=OFF\n"},
    {"600dpi", "@PJL SET RESOLUTION=600\n@PJL SET HQMMODE=OFF\n"},
    {"1200dpi", "@PJL SET RESOLUTION=TR1200\n@PJL SET PAPERFEEDSPEED=FULL\n@PJL SET HQMMODE=OFF\n"},
    {"2400dpi", "@PJL SET RESOLUTION=HQ1200\n@PJL SET PAPERFEEDSPEED=FULL\n@PJL SET HQMMODE=OFF\n"},
};

const Row kTonerSave[] = {
    {"ON", "@PJL SET ECONOMODE=ON\n"},
    {"OFF", "@PJL SET ECONOMODE=OFF\n"},
};

struct TrayRow {
    const char *value;
    const char *lines;
    const char *mediaPosition;
};

const TrayRow kTrays[] = {
    {"MPTRAY", "@PJL SET SOURCETRAY=MPTRAY\n@PJL SET PCLMPFIX=ON\n", "-dMediaPosition=2"},
    {"TRAY1", "@PJL SET SOURCETRAY=TRAY1\n@PJL SET PCLT1FIX=ON\n", "-dMediaPosition=4"},
    {"TRAY2", "@PJL SET SOURCETRAY=TRAY2\n@PJL SET PCLT2FIX=ON\n", "-dMediaPosition=5"},
    {"TRAY3", "@PJL SET SOURCETRAY=TRAY3\n@PJL SET PCLT3FIX=ON\n", "-dMediaPosition=7"},
};
const TrayRow kAutoTray = {"AUTO", "@PJL SET SOURCETRAY=AUTO\n", "-dMediaPosition=1"};

const TrayRow &trayRow(const std::string &inputSlot)
{
    for (const TrayRow &row : kTrays)
        if (inputSlot == row.value)
            return row;
    return kAutoTray;
}

const Row kMediaType[] = {
    {"PLAIN", "@PJL SET MEDIATYPE=REGULAR\n"},
    {"THIN", "@PJL SET MEDIATYPE=THIN\n"},
    {"THICK", "@PJL SET MEDIATYPE=THICK\n"},
    {"THICKERPAPER2", "@PJL SET MEDIATYPE=THICK2\n"},
    {"BOND", "@PJL SET MEDIATYPE=BOND\n"},
    {"ENV", "@PJL SET MEDIATYPE=ENVELOPES\n"},
    {"ENVTHICK", "@PJL SET MEDIATYPE=ENVTHICK\n"},
    {"ENVTHIN", "@PJL SET MEDIATYPE=ENVTHIN\n"},
    {"RECYCLED", "@PJL SET MEDIATYPE=RECYCLED\n"},
    {"LABLE", "@PJL SET MEDIATYPE=LABEL\n"}, // the PPD's choice is spelled LABLE
    {"COLOR", "@PJL SET MEDIATYPE=COLOR\n"},
    {"LETTERHEAD", "@PJL SET MEDIATYPE=LETTERHEAD\n"},
    {"HOLEPUNCHED", "@PJL SET MEDIATYPE=HOLEPUNCHED\n"},
};

const Row kImprove[] = {
    {"None", "@PJL SET LESSPAPERCURL=OFF\n@PJL SET FIXINTENSITYUP=OFF\n"},
    {"ReducePaperCurl", "@PJL SET LESSPAPERCURL=ON\n@PJL SET FIXINTENSITYUP=OFF\n"},
    {"ImproveTonerFixing", "@PJL SET LESSPAPERCURL=OFF\n@PJL SET FIXINTENSITYUP=ON\n"},
};

const Row kSleep[] = {
    {"PrinterDefault", ""},
    {"2minutes", "@PJL DEFAULT AUTOSLEEP=ON\n@PJL DEFAULT TIMEOUTSLEEP=2\n"
                 "@PJL SET AUTOSLEEP=ON\n@PJL SET TIMEOUTSLEEP=2\n"},
    {"5minutes", "@PJL DEFAULT AUTOSLEEP=ON\n@PJL DEFAULT TIMEOUTSLEEP=5\n"
                 "@PJL SET AUTOSLEEP=ON\n@PJL SET TIMEOUTSLEEP=5\n"},
    {"10minutes", "@PJL DEFAULT AUTOSLEEP=ON\n@PJL DEFAULT TIMEOUTSLEEP=10\n"
                  "@PJL SET AUTOSLEEP=ON\n@PJL SET TIMEOUTSLEEP=10\n"},
    {"30minutes", "@PJL DEFAULT AUTOSLEEP=ON\n@PJL DEFAULT TIMEOUTSLEEP=30\n"
                  "@PJL SET AUTOSLEEP=ON\n@PJL SET TIMEOUTSLEEP=30\n"},
};

void appendIf(LineBuffer &header, const char *lines)
{
    if (lines)
        header.append(lines);
}

// The run-log copy of a header line, built with the same cut as the header.
std::string logLine(const char *command, const std::string &value)
{
    char buffer[LineBuffer::kLineSize];
    LineBuffer line(buffer, sizeof buffer);
    line.appendValue(command, value);
    return std::string(TAG) + line.data();
}

void appendJobIdentification(const JobRecord &job, LineBuffer &header)
{
    if (job.key == "Custom")
        return;
    header.append("@PJL SET REPRINT=OFF\n");
    if (job.key == "False") {
        header.append("@PJL SET HOLD=OFF\n");
        header.appendValue("@PJL SET USERNAME=", job.user, true);
    } else {
        header.append("@PJL SET HOLD=STORE\n");
        header.append("@PJL SET HOLDTYPE=PRIVATE\n");
        header.appendValue("@PJL SET HOLDKEY=", job.key);
        header.appendValue("@PJL SET USERNAME=", job.user, true);
        header.appendValue("@PJL SET LOGINUSER=", job.user, true);
    }
    header.appendValue("@PJL SET JOBNAME=", job.title, true);
}

void appendPrintLogItems(const JobRecord &job, LineBuffer &header, LogLines &log)
{
    header.append("@PJL PRINTLOG ITEM = 1,PRINTER\n");
    log.push_back(TAG "@PJL PRINTLOG ITEM = 1,PRINTER\n");
    header.appendValue("@PJL PRINTLOG ITEM = 2,", job.printLogTime);
    log.push_back(logLine("@PJL PRINTLOG ITEM = 2,", job.printLogTime));
    header.appendValue("@PJL PRINTLOG ITEM = 3,", job.user);
    log.push_back(logLine("@PJL PRINTLOG ITEM = 3,", job.user));
    header.appendValue("@PJL PRINTLOG ITEM = 4,", job.host);
    log.push_back(logLine("@PJL PRINTLOG ITEM = 4,", job.host));
    header.appendValue("@PJL SET JOBTIME = ", job.startTime);
    log.push_back(logLine("@PJL SET JOBTIME = ", job.startTime));
    header.appendValue("@PJL JOB NAME=", job.title, true);
    log.push_back(logLine("@PJL JOB NAME = ", job.title));
}

} // namespace

const char *mediaPosition(const std::string &inputSlot)
{
    return trayRow(inputSlot).mediaPosition;
}

const char *buildJobHeader(const JobRecord &job, LineBuffer &header, LogLines &log)
{
    const JobOptions &o = job.options;
    header.clear();

    log.push_back("StartJobCmd = Esc%-12345X@PJL SET RENDERMODE=GRAYSCALE\n\n");
    const std::string stars(94, '*');
    log.push_back(stars + "\n");
    log.push_back("\t\t\t\tPrint Job Head Start\t\t\t\t\t       \n");
    log.push_back(stars + "\n");

    header.append("\x1b%-12345X\n\x1b#+54321X_VARN@PJL\n@PJL SET RENDERMODE=GRAYSCALE\n");
    appendJobIdentification(job, header);
    appendPrintLogItems(job, header, log);

    log.push_back(TAG "start find resolution\n");
    appendIf(header, lookup(kResolution, o.resolution));

    // Scaling is in tenths; the bound only keeps a nonsense value from overflowing.
    long scale = std::strtol(o.resizePage.c_str(), nullptr, 10);
    if (scale > 100000 || scale < -100000)
        scale = scale > 0 ? 100000 : -100000;
    if (scale != 10)
        header.appendNumber("@PJL SET PRINTSCALINGRATE=", scale * 100);

    appendIf(header, lookup(kTonerSave, o.tonerSaveMode));

    const TrayRow &tray = trayRow(o.inputSlot);
    header.append(tray.lines);

    if (o.pageSize == "B5")
        header.append("@PJL SET PAPER=JISB5\n");

    appendIf(header, lookup(kMediaType, o.mediaType));

    if (o.printDensity != "0") {
        header.appendValue("@PJL SET DENSITY=", o.printDensity);
        header.appendValue("@PJL SET DEVBIASADJUST=", o.printDensity);
    }

    appendIf(header, lookup(kImprove, o.improvePrintOutput));

    if (o.quiteMode == "ON")
        header.append("@PJL SET QUIETMODE=ON\n");

    if (const char *sleepLines = lookup(kSleep, o.sleep)) {
        header.append(sleepLines);
    } else {
        header.append("@PJL DEFAULT AUTOSLEEP=ON\n");
        header.appendValue("@PJL DEFAULT TIMEOUTSLEEP=", o.sleep);
        header.append("@PJL SET AUTOSLEEP=ON\n");
        header.appendValue("@PJL SET TIMEOUTSLEEP=", o.sleep);
    }
    return tray.mediaPosition;
}
