// A status line from the printer ("CODE=10001", several per reply, or whatever arrives):
// its code is the number written in it or 0, the entry shown is the catalogue's entry of
// exactly that code or none, and its severity is one of the four ranks.
#include "fuzzcheck.h"
#include "statuscatalogue.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{

// The number the line spells between its first and second '=', read with strtoll, or
// nothing when that piece is not a plain decimal number.
bool spelledNumber(std::string_view line, long long &value)
{
    const size_t first = line.find('=');
    if (first == std::string_view::npos)
        return false;
    std::string piece(line.substr(first + 1));
    piece = piece.substr(0, piece.find('='));
    const char *space = " \t\n\r\v\f";
    const size_t begin = piece.find_first_not_of(space);
    if (begin == std::string::npos)
        return false;
    piece = piece.substr(begin, piece.find_last_not_of(space) - begin + 1);
    const size_t digits = piece[0] == '-' || piece[0] == '+' ? 1 : 0;
    if (piece.size() == digits || piece.find_first_not_of("0123456789", digits) != piece.npos)
        return false;
    errno = 0;
    value = std::strtoll(piece.c_str(), nullptr, 10);
    return errno == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view line(reinterpret_cast<const char *>(data), size);
    const int code = statusLineCode(line);

    long long spelled = 0;
    if (code != 0) {
        FUZZ_CHECK(spelledNumber(line, spelled));
        FUZZ_CHECK(spelled == code);
    } else if (spelledNumber(line, spelled)) {
        // 0 for a spelled number only when it is 0 or does not fit an int.
        FUZZ_CHECK(spelled == 0 || spelled > INT32_MAX || spelled < INT32_MIN);
    }

    const StatusEntry *entry = findStatusEntry(code);
    if (entry) {
        FUZZ_CHECK(entry->code == code);
        FUZZ_CHECK(entry->kind >= 1 && entry->kind <= 3);
        FUZZ_CHECK(entry->title && entry->message);
    }
    const int severity = statusSeverity(code);
    FUZZ_CHECK(severity >= 1 && severity <= 4);
    FUZZ_CHECK((severity == 4) == (code == 88888));

    // The quiet rule: a repeated code shows nothing, a new one shows its own entry or none.
    int last = static_cast<int>(size % 3 == 0 ? code : 10001);
    const int before = last;
    const StatusEntry *shown = nextStatusEntry(code, &last, size % 2 == 0);
    FUZZ_CHECK(last == code);
    if (before == code)
        FUZZ_CHECK(shown == nullptr);
    if (shown)
        FUZZ_CHECK(shown == entry);
    return 0;
}
