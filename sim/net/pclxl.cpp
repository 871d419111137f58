#include "pclxl.h"

#include <array>
#include <cstring>
#include <map>

namespace zlpsim
{

namespace
{

enum Tag : std::uint8_t {
    BeginSession = 0x41,
    EndSession = 0x42,
    BeginPage = 0x43,
    EndPage = 0x44,
    UByte = 0xc0,
    UInt16 = 0xc1,
    ArrayFirst = 0xc8,
    ArrayLast = 0xcd,
    XyFirst = 0xd0,
    XyLast = 0xd5,
    BoxFirst = 0xe0,
    BoxLast = 0xe5,
    AttrUByte = 0xf8,
    AttrUInt16 = 0xf9,
    DataLength = 0xfa,
    DataLengthByte = 0xfb,
    Escape = 0x1b,
};

enum Attribute : unsigned {
    MediaSize = 37,
    MediaSource = 38,
    Orientation = 40,
    CustomMediaSize = 47,
    CustomMediaSizeUnits = 48,
    PageCopies = 49,
    DuplexPageMode = 53,
    DuplexPageSide = 54,
    Measure = 134,
    UnitsPerMeasure = 137,
};

// Operator names as Ghostscript's PCL XL writer numbers them; gaps are not operators.
const std::map<std::uint8_t, const char *> &operatorNames()
{
    static const std::map<std::uint8_t, const char *> names = {
        {0x41, "BeginSession"},
        {0x42, "EndSession"},
        {0x43, "BeginPage"},
        {0x44, "EndPage"},
        {0x47, "Comment"},
        {0x48, "OpenDataSource"},
        {0x49, "CloseDataSource"},
        {0x4f, "BeginFontHeader"},
        {0x50, "ReadFontHeader"},
        {0x51, "EndFontHeader"},
        {0x52, "BeginChar"},
        {0x53, "ReadChar"},
        {0x54, "EndChar"},
        {0x55, "RemoveFont"},
        {0x56, "SetCharAttributes"},
        {0x5b, "BeginStream"},
        {0x5c, "ReadStream"},
        {0x5d, "EndStream"},
        {0x5e, "ExecStream"},
        {0x5f, "RemoveStream"},
        {0x60, "PopGS"},
        {0x61, "PushGS"},
        {0x62, "SetClipReplace"},
        {0x63, "SetBrushSource"},
        {0x64, "SetCharAngle"},
        {0x65, "SetCharScale"},
        {0x66, "SetCharShear"},
        {0x67, "SetClipIntersect"},
        {0x68, "SetClipRectangle"},
        {0x69, "SetClipToPage"},
        {0x6a, "SetColorSpace"},
        {0x6b, "SetCursor"},
        {0x6c, "SetCursorRel"},
        {0x6d, "SetHalftoneMethod"},
        {0x6e, "SetFillMode"},
        {0x6f, "SetFont"},
        {0x70, "SetLineDash"},
        {0x71, "SetLineCap"},
        {0x72, "SetLineJoin"},
        {0x73, "SetMiterLimit"},
        {0x74, "SetPageDefaultCTM"},
        {0x75, "SetPageOrigin"},
        {0x76, "SetPageRotation"},
        {0x77, "SetPageScale"},
        {0x78, "SetPaintTxMode"},
        {0x79, "SetPenSource"},
        {0x7a, "SetPenWidth"},
        {0x7b, "SetROP"},
        {0x7c, "SetSourceTxMode"},
        {0x7d, "SetCharBoldValue"},
        {0x7f, "SetClipMode"},
        {0x80, "SetPathToClip"},
        {0x81, "SetCharSubMode"},
        {0x84, "CloseSubPath"},
        {0x85, "NewPath"},
        {0x86, "PaintPath"},
        {0x91, "ArcPath"},
        {0x93, "BezierPath"},
        {0x95, "BezierRelPath"},
        {0x96, "Chord"},
        {0x97, "ChordPath"},
        {0x98, "Ellipse"},
        {0x99, "EllipsePath"},
        {0x9b, "LinePath"},
        {0x9d, "LineRelPath"},
        {0x9e, "Pie"},
        {0x9f, "PiePath"},
        {0xa0, "Rectangle"},
        {0xa1, "RectanglePath"},
        {0xa2, "RoundRectangle"},
        {0xa3, "RoundRectanglePath"},
        {0xa8, "Text"},
        {0xa9, "TextPath"},
        {0xb0, "BeginImage"},
        {0xb1, "ReadImage"},
        {0xb2, "EndImage"},
        {0xb3, "BeginRastPattern"},
        {0xb4, "ReadRastPattern"},
        {0xb5, "EndRastPattern"},
        {0xb6, "BeginScan"},
        {0xb8, "EndScan"},
        {0xb9, "ScanLineRel"},
        {0xbf, "PassThrough"},
    };
    return names;
}

bool isWhiteSpace(std::uint8_t b)
{
    return b == 0x00 || (b >= 0x09 && b <= 0x0d) || b == 0x20;
}

// Width in bytes of the base types ubyte, uint16, uint32, sint16, sint32, real32.
constexpr std::array<std::size_t, 6> kBaseWidth = {1, 2, 4, 2, 4, 4};

const char kUel[] = "\x1b%-12345X";

struct Value {
    std::uint8_t type = 0;
    std::vector<double> numbers; // the first few elements only
    std::string text;            // a ubyte array as bytes (names, media size strings)
};

class Parser
{
  public:
    Parser(const std::uint8_t *data, std::size_t size, PclXlResult &result)
        : d_(data), n_(size), r_(result)
    {
    }

    void run()
    {
        if (!readStreamHeader())
            return;
        while (p_ < n_) {
            const std::size_t at = p_;
            const std::uint8_t tag = d_[p_];
            if (isWhiteSpace(tag)) {
                ++p_;
            } else if (tag >= UByte && tag <= BoxLast) {
                if (!readValue())
                    return;
            } else if (tag == AttrUByte || tag == AttrUInt16) {
                if (!readAttribute())
                    return;
            } else if (tag == DataLength || tag == DataLengthByte) {
                if (!skipEmbeddedData())
                    return;
            } else if (tag == Escape) {
                r_.end = at;
                if (n_ - at >= sizeof kUel - 1 && std::memcmp(d_ + at, kUel, sizeof kUel - 1) == 0)
                    fail(at, "universal exit before EndSession");
                else
                    fail(at, "escape byte inside the PCL XL stream");
                return;
            } else if (pclXlOperatorName(tag) != nullptr) {
                ++p_;
                if (!runOperator(at, tag))
                    return;
                if (r_.sessionEnded) {
                    r_.end = p_;
                    return;
                }
            } else {
                fail(at, "unknown tag " + hex(tag));
                return;
            }
        }
        r_.end = p_;
        fail(p_, "stream ends before EndSession");
    }

  private:
    static std::string hex(std::uint8_t b)
    {
        static const char digits[] = "0123456789abcdef";
        return std::string("0x") + digits[b >> 4] + digits[b & 15];
    }

    bool fail(std::size_t at, const std::string &what)
    {
        if (r_.error.empty())
            r_.error = what + " at offset " + std::to_string(at);
        if (r_.end == 0 || r_.end > at)
            r_.end = at;
        return false;
    }

    bool need(std::size_t count)
    {
        if (n_ - p_ >= count)
            return true;
        return fail(p_, "stream ends inside a token");
    }

    std::uint32_t readUnsigned(std::size_t width)
    {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::uint32_t byte = d_[p_ + i];
            v |= lsb_ ? byte << (8 * i) : byte << (8 * (width - 1 - i));
        }
        p_ += width;
        return v;
    }

    double readNumber(unsigned baseType)
    {
        const std::uint32_t raw = readUnsigned(kBaseWidth[baseType]);
        switch (baseType) {
        case 3:
            return static_cast<std::int16_t>(raw);
        case 4:
            return static_cast<std::int32_t>(raw);
        case 5: {
            float f;
            std::memcpy(&f, &raw, sizeof f);
            return f;
        }
        default:
            return raw;
        }
    }

    bool readStreamHeader()
    {
        const std::uint8_t binding = n_ > 0 ? d_[0] : 0;
        if (binding == '\'')
            return fail(0, "ASCII binding is not supported");
        if (binding != ')' && binding != '(')
            return fail(0, "no PCL XL stream header");
        static const char kName[] = " HP-PCL XL;";
        if (n_ < sizeof kName || std::memcmp(d_ + 1, kName, sizeof kName - 1) != 0)
            return fail(0, "no PCL XL stream header");
        r_.present = true;
        lsb_ = binding == ')';
        r_.binding = lsb_ ? "lsb" : "msb";
        std::size_t lf = sizeof kName;
        while (lf < n_ && d_[lf] != '\n')
            ++lf;
        if (lf == n_)
            return fail(0, "stream header has no line feed");
        // "class;revision;comment": keep the first two fields.
        std::string rest(reinterpret_cast<const char *>(d_) + sizeof kName, lf - sizeof kName);
        const auto first = rest.find(';');
        const auto second = first == std::string::npos ? first : rest.find(';', first + 1);
        r_.protocol = rest.substr(0, second);
        p_ = lf + 1;
        return true;
    }

    bool readValue()
    {
        const std::size_t at = p_;
        if (pending_)
            return fail(at, "value without attribute identifier");
        afterOperator_ = false;
        const std::uint8_t tag = d_[p_++];
        Value v;
        v.type = tag;
        const unsigned base = tag & 0x07;
        const bool scalar = tag <= UByte + 5;
        const bool array = tag >= ArrayFirst && tag <= ArrayLast;
        const bool xy = tag >= XyFirst && tag <= XyLast;
        const bool box = tag >= BoxFirst && tag <= BoxLast;
        if (!scalar && !array && !xy && !box)
            return fail(at, "unknown data type " + hex(tag));
        std::size_t count = 1;
        if (array) {
            if (!need(1))
                return false;
            const std::uint8_t lengthTag = d_[p_++];
            if (lengthTag != UByte && lengthTag != UInt16)
                return fail(p_ - 1, "array length of type " + hex(lengthTag));
            const std::size_t width = lengthTag == UByte ? 1 : 2;
            if (!need(width))
                return false;
            count = readUnsigned(width);
        } else if (xy) {
            count = 2;
        } else if (box) {
            count = 4;
        }
        if (!need(count * kBaseWidth[base]))
            return false;
        if (tag == ArrayFirst && count <= 256) // a ubyte array: keep it as text
            v.text.assign(reinterpret_cast<const char *>(d_) + p_, count);
        for (std::size_t i = 0; i < count; ++i) {
            if (i < 4) {
                v.numbers.push_back(readNumber(base));
            } else {
                p_ += kBaseWidth[base] * (count - i);
                break;
            }
        }
        pending_ = std::move(v);
        return true;
    }

    bool readAttribute()
    {
        const std::size_t at = p_;
        const std::size_t width = d_[p_++] == AttrUByte ? 1 : 2;
        afterOperator_ = false;
        if (!need(width))
            return false;
        const unsigned id = readUnsigned(width);
        if (!pending_)
            return fail(at, "attribute " + std::to_string(id) + " without a value");
        attributes_[id] = std::move(*pending_);
        pending_.reset();
        return true;
    }

    bool skipEmbeddedData()
    {
        const std::size_t at = p_;
        const std::size_t width = d_[p_++] == DataLength ? 4 : 1;
        if (!afterOperator_)
            return fail(at, "embedded data not after an operator");
        afterOperator_ = false;
        if (!need(width))
            return false;
        const std::size_t length = readUnsigned(width);
        if (!need(length))
            return false;
        p_ += length;
        r_.embeddedBytes += length;
        return true;
    }

    const Value *attribute(unsigned id) const
    {
        const auto it = attributes_.find(id);
        return it == attributes_.end() || it->second.numbers.empty() ? nullptr : &it->second;
    }

    int intAttribute(unsigned id, int fallback) const
    {
        const Value *v = attribute(id);
        return v ? static_cast<int>(v->numbers[0]) : fallback;
    }

    bool runOperator(std::size_t at, std::uint8_t tag)
    {
        if (pending_)
            return fail(at, "value without attribute identifier before operator");
        ++r_.operators;
        afterOperator_ = true;
        const char *name = pclXlOperatorName(tag);
        bool ok = true;
        switch (tag) {
        case BeginSession:
            if (inSession_) {
                ok = fail(at, "BeginSession inside a session");
                break;
            }
            inSession_ = true;
            r_.measure = intAttribute(Measure, -1);
            if (const Value *units = attribute(UnitsPerMeasure);
                units && units->numbers.size() == 2) {
                r_.unitsX = static_cast<int>(units->numbers[0]);
                r_.unitsY = static_cast<int>(units->numbers[1]);
            }
            break;
        case EndSession:
            if (!inSession_)
                ok = fail(at, "EndSession outside a session");
            else if (inPage_)
                ok = fail(at, "EndSession inside a page");
            else
                r_.sessionEnded = true;
            break;
        case BeginPage:
            if (!inSession_)
                ok = fail(at, "BeginPage outside a session");
            else if (inPage_)
                ok = fail(at, "BeginPage inside a page");
            else
                beginPage();
            break;
        case EndPage:
            if (!inPage_) {
                ok = fail(at, "EndPage without BeginPage");
                break;
            }
            inPage_ = false;
            page_.copies = intAttribute(PageCopies, 1);
            r_.pageList.push_back(page_);
            ++r_.pages;
            break;
        default:
            if (!inSession_)
                ok = fail(at, std::string(name) + " outside a session");
        }
        attributes_.clear();
        return ok;
    }

    void beginPage()
    {
        inPage_ = true;
        ++r_.beginPages;
        page_ = PclXlPage{};
        if (const Value *size = attribute(MediaSize))
            page_.mediaSize = size->type == ArrayFirst
                                  ? size->text
                                  : pclXlMediaSizeName(static_cast<int>(size->numbers[0]));
        page_.mediaSource = intAttribute(MediaSource, -1);
        page_.orientation = intAttribute(Orientation, -1);
        if (const Value *custom = attribute(CustomMediaSize);
            custom && custom->numbers.size() == 2) {
            page_.customWidth = custom->numbers[0];
            page_.customHeight = custom->numbers[1];
            page_.customUnits = intAttribute(CustomMediaSizeUnits, -1);
        }
        page_.duplexMode = intAttribute(DuplexPageMode, -1);
        page_.duplexSide = intAttribute(DuplexPageSide, -1);
    }

    const std::uint8_t *d_;
    std::size_t n_;
    PclXlResult &r_;
    std::size_t p_ = 0;
    bool lsb_ = true;
    std::optional<Value> pending_;
    std::map<unsigned, Value> attributes_;
    bool afterOperator_ = false;
    bool inSession_ = false;
    bool inPage_ = false;
    PclXlPage page_;
};

} // namespace

const char *pclXlOperatorName(std::uint8_t tag)
{
    const auto &names = operatorNames();
    const auto it = names.find(tag);
    return it == names.end() ? nullptr : it->second;
}

std::string pclXlMediaSizeName(int value)
{
    static const char *const names[] = {
        "letter", "legal", "a4",    "executive", "ledger", "a3",      "com10",     "monarch",
        "c5",     "dl",    "jisb4", "jisb5",     "b5",     "b5paper", "jpostcard", "jpostcardd",
        "a5",     "a6",    "jisb6", "jis8k",     "jis16k", "jisexec",
    };
    if (value >= 0 && value < static_cast<int>(sizeof names / sizeof names[0]))
        return names[value];
    if (value == 96)
        return "default";
    return value < 0 ? std::string() : "size" + std::to_string(value);
}

PclXlResult decodePclXl(const std::uint8_t *data, std::size_t size)
{
    PclXlResult result;
    result.begin = 0;
    Parser(data, size, result).run();
    result.wellFormed = result.present && result.sessionEnded && result.error.empty();
    return result;
}

} // namespace zlpsim
