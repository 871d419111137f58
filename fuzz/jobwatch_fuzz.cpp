// The texts the job watch reads from others: a /proc/<pid>/stat line (a process may name
// itself anything, brackets and line feeds included), its status text, the listing of
// `lpstat` and cups-files.conf.
// The command name is a piece of the stat text between brackets; the queue counts are
// bounded by the text and a job of the network queue never counts as one of the USB queue.
#include "fuzzcheck.h"
#include "jobwatch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);

    if (const auto name = jobwatch::commandNameOfStat(text)) {
        FUZZ_CHECK(name->data() > text.data());
        FUZZ_CHECK(name->data()[-1] == '(');
        FUZZ_CHECK(name->data() + name->size() < text.data() + text.size());
        FUZZ_CHECK(name->data()[name->size()] == ')');
        // The name runs to the last ')', so what follows holds none.
        FUZZ_CHECK(text.substr(size_t(name->data() - text.data()) + name->size() + 1).find(')') ==
                   std::string_view::npos);
    } else {
        const size_t open = text.find('(');
        FUZZ_CHECK(open == text.npos || text.find(')', open) == text.npos);
    }

    const jobwatch::QueueMentions m =
        jobwatch::countQueueMentions(text, "ZLP5520NW", "ZLP5520NW-net");
    const size_t end = std::min(text.find('\0'), text.size());
    FUZZ_CHECK(m.usbQueue >= m.netQueue);
    FUZZ_CHECK(size_t(m.usbQueue) * 9 <= end);
    // Only network jobs listed: no USB job.
    if (m.usbQueue == m.netQueue)
        FUZZ_CHECK(!jobwatch::usbJobListed(m));
    FUZZ_CHECK(jobwatch::netJobListed(m) == (m.netQueue > 0));

    // Ids come only from a line that starts with the key.
    if (jobwatch::uidsOfStatus(text))
        FUZZ_CHECK(text.substr(0, 4) == "Uid:" || text.find("\nUid:") != text.npos);

    // Each value is one trimmed, non-empty piece of one line; never root by number.
    size_t lines = 1;
    for (char c : text)
        lines += c == '\n';
    const std::vector<std::string> values = jobwatch::cupsUserValues(text);
    FUZZ_CHECK(values.size() <= lines);
    for (const std::string &value : values) {
        FUZZ_CHECK(!value.empty() && value.find('\n') == std::string::npos);
        FUZZ_CHECK(value.front() != ' ' && value.back() != ' ');
    }
    const auto uid = jobwatch::filterUidOfCupsFiles(
        text, [](const std::string &name) -> std::optional<uid_t> {
            return name == "lp" ? std::optional<uid_t>(7) : std::nullopt;
        });
    FUZZ_CHECK(uid && *uid != 0);
    return 0;
}
