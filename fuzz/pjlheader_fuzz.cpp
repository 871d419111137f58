// The PJL job header from a job's texts: user, title, host, secure-print key, the two time
// texts and every option value. Whatever they hold, the header stays inside its buffer,
// keeps the printer's framing, and gains no line and no control byte from them.
#include "fuzzcheck.h"
#include "pjlheader.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace
{

const char kStart[] = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL\n@PJL SET RENDERMODE=GRAYSCALE\n";

JobRecord jobFromFields(const std::vector<std::string> &f)
{
    JobRecord job;
    job.user = fuzz::field(f, 0, "alice");
    job.title = fuzz::field(f, 1, "report.pdf");
    job.host = fuzz::field(f, 2, "office-pc");
    job.key = fuzz::field(f, 3, "False");
    job.printLogTime = fuzz::field(f, 4, "2024-05-06 07:08:09");
    job.startTime = fuzz::field(f, 5, "20240506070809");
    JobOptions &o = job.options;
    std::string *values[] = {&o.pageSize,      &o.mediaType,          &o.inputSlot,
                             &o.duplex,        &o.resolution,         &o.resizePage,
                             &o.tonerSaveMode, &o.improvePrintOutput, &o.printDensity,
                             &o.sleep,         &o.quiteMode};
    for (size_t i = 0; i < std::size(values); ++i)
        *values[i] = fuzz::field(f, 6 + i, *values[i]);
    return job;
}

// The same job with every free text replaced by a plain one that takes the same branch of
// the builder: its header has the lines the real one must have.
JobRecord plainJob(JobRecord job)
{
    job.user = "u";
    job.title = "t";
    job.host = "h";
    if (job.key != "False" && job.key != "Custom")
        job.key = "1234";
    job.printLogTime = "p";
    job.startTime = "s";
    if (job.options.printDensity != "0")
        job.options.printDensity = "1";
    static const char *const kSleepChoices[] = {"PrinterDefault", "2minutes", "5minutes",
                                                "10minutes", "30minutes"};
    if (std::find(std::begin(kSleepChoices), std::end(kSleepChoices), job.options.sleep) ==
        std::end(kSleepChoices))
        job.options.sleep = "7";
    return job;
}

size_t lineCount(const char *text)
{
    return static_cast<size_t>(std::count(text, text + std::strlen(text), '\n'));
}

void checkHeader(const LineBuffer &header)
{
    const char *data = header.data();
    FUZZ_CHECK(header.size() < kHeaderSize);
    FUZZ_CHECK(std::strlen(data) == header.size());
    FUZZ_CHECK(std::strncmp(data, kStart, std::strlen(kStart)) == 0);
    // After the framing every line is one PJL command, with no control byte in it.
    const std::string_view body(data + std::strlen(kStart), header.size() - std::strlen(kStart));
    FUZZ_CHECK(!body.empty() && body.back() == '\n');
    size_t start = 0;
    while (start < body.size()) {
        const size_t end = body.find('\n', start);
        const std::string_view line = body.substr(start, end - start);
        FUZZ_CHECK(line.substr(0, 5) == "@PJL ");
        for (char c : line)
            FUZZ_CHECK(!fuzz::isControl(static_cast<unsigned char>(c)));
        start = end + 1;
    }
}

// A value line cut to fit a small buffer still ends in its line feed, never splits a UTF-8
// character and never writes past the buffer (allocated to the byte, so ASan sees it).
void checkSmallBuffer(size_t capacity, const std::string &value)
{
    std::unique_ptr<char[]> storage(new char[capacity ? capacity : 1]);
    LineBuffer buffer(storage.get(), capacity);
    buffer.appendValue("@PJL SET JOBNAME=", value, true);
    buffer.appendValue("@PJL SET USERNAME=", value);
    if (capacity == 0) {
        FUZZ_CHECK(buffer.size() == 0);
        return;
    }
    FUZZ_CHECK(buffer.size() < capacity);
    FUZZ_CHECK(std::strlen(buffer.data()) == buffer.size());
    if (buffer.size() > 0)
        FUZZ_CHECK(buffer.data()[buffer.size() - 1] == '\n');
    if (fuzz::isUtf8(value))
        FUZZ_CHECK(fuzz::isUtf8(std::string_view(buffer.data(), buffer.size())));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> fields = fuzz::splitFields(data, size);
    const JobRecord job = jobFromFields(fields);

    static char storage[kHeaderSize];
    LineBuffer header(storage, sizeof storage);
    LogLines log;
    const char *position = buildJobHeader(job, header, log);
    checkHeader(header);
    for (const std::string &line : log)
        FUZZ_CHECK(fuzz::isWholeLogLine(line));
    FUZZ_CHECK(position && std::strncmp(position, "-dMediaPosition=", 16) == 0);
    FUZZ_CHECK(std::strcmp(position, mediaPosition(job.options.inputSlot)) == 0);

    static char plainStorage[kHeaderSize];
    LineBuffer plain(plainStorage, sizeof plainStorage);
    LogLines plainLog;
    buildJobHeader(plainJob(job), plain, plainLog);
    FUZZ_CHECK(lineCount(header.data()) == lineCount(plain.data()));
    FUZZ_CHECK(log.size() == plainLog.size());

    checkSmallBuffer(size % 301, job.title);
    return 0;
}
