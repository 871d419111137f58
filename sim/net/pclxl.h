// Decoder for the binary PCL XL stream a printer receives after "@PJL ENTER LANGUAGE = PCLXL".
//
// It walks the stream token by token, the way a printer's interpreter would, and checks that it
// is well formed from the stream header to EndSession. The subset it understands:
//   - the stream header line: binding byte ")" (little endian) or "(" (big endian), then
//     " HP-PCL XL;class;revision;comment" up to a line feed; the ASCII binding "'" is refused;
//   - white space 0x00, 0x09-0x0d, 0x20 between tokens;
//   - every data type: ubyte, uint16, uint32, sint16, sint32, real32 as scalars (0xc0-0xc5),
//     arrays (0xc8-0xcd, length given as a ubyte or uint16 value), xy pairs (0xd0-0xd5) and
//     boxes (0xe0-0xe5);
//   - attribute identifiers 0xf8 (ubyte) and 0xf9 (uint16), each naming the value before it;
//   - embedded data 0xfa (uint32 length) and 0xfb (ubyte length) directly after an operator;
//   - the operators of protocol classes 1.1 to 2.1 (0x41-0xbf as Ghostscript's PCL XL writer
//     knows them); any other byte is an error.
// It follows the session and page structure (BeginSession, BeginPage/EndPage, EndSession) and
// keeps the page attributes a test wants to look at: media size, source, orientation, custom size
// and duplex mode. Stream contents (images, paths, fonts) are skipped, not interpreted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zlpsim
{

struct PclXlPage {
    // MediaSize: the enumeration's name ("a4", "letter", ...) or the string the stream carried.
    std::string mediaSize;
    int mediaSource = -1;
    int orientation = -1;
    // CustomMediaSize in CustomMediaSizeUnits (0 inch, 1 millimetre, 2 tenths of a millimetre).
    std::optional<double> customWidth, customHeight;
    int customUnits = -1;
    // DuplexPageMode: -1 none (simplex), 0 horizontal binding (short edge), 1 vertical binding.
    int duplexMode = -1;
    int duplexSide = -1;
    int copies = 1;
};

struct PclXlResult {
    bool present = false;    // a stream header was found
    bool wellFormed = false; // header, one session, balanced pages, EndSession, no error
    std::string error;       // first error, with its offset in the decoded buffer
    std::string binding;     // "lsb" or "msb"
    std::string protocol;    // "class;revision" from the stream header
    std::size_t begin = 0;   // offset of the stream header
    std::size_t end = 0;     // offset just past EndSession, or where decoding stopped
    bool sessionEnded = false;
    int beginPages = 0;
    int pages = 0;              // completed BeginPage ... EndPage pairs
    int unitsX = 0, unitsY = 0; // UnitsPerMeasure of BeginSession (dots per measure)
    int measure = -1;           // Measure of BeginSession: 0 inch, 1 mm, 2 tenths of a mm
    std::size_t operators = 0;
    std::size_t embeddedBytes = 0;
    std::vector<PclXlPage> pageList;
};

// Decodes the PCL XL stream that starts at data[0] (the binding byte of the stream header).
// Decoding stops after EndSession, at a universal exit (ESC "%-12345X"), at the first error or
// at the end of the buffer; `end` tells where.
PclXlResult decodePclXl(const std::uint8_t *data, std::size_t size);

// Name of an operator tag, or nullptr for a byte that is no operator.
const char *pclXlOperatorName(std::uint8_t tag);

// Name of a MediaSize enumeration value ("a4"), or an empty string.
std::string pclXlMediaSizeName(int value);

} // namespace zlpsim
