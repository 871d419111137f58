// The simulated printer's stream decoder, on Ghostscript's real pxlmono output and on hand-built
// token streams that hit what a byte scanner would get wrong.
#include "jobstream.h"
#include "json.h"
#include "pclxl.h"
#include "session.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace zlpsim;

namespace
{

const std::uint8_t *bytes(const std::string &s)
{
    return reinterpret_cast<const std::uint8_t *>(s.data());
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class TempDir
{
  public:
    TempDir()
    {
        char templ[] = "/tmp/zlpsim-test-XXXXXX";
        path_ = mkdtemp(templ);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// A PostScript document of `pages` pages with text, a stroked path and a filled shape per page.
std::string postScript(int pages)
{
    std::string ps = "%!PS-Adobe-3.0\n%%Pages: " + std::to_string(pages) + "\n%%EndComments\n";
    for (int i = 1; i <= pages; ++i) {
        ps += "%%Page: " + std::to_string(i) + " " + std::to_string(i) + "\n";
        ps += "/Helvetica findfont 24 scalefont setfont 72 720 moveto (Page " + std::to_string(i) +
              ") show\n";
        ps += "newpath 72 72 moveto 500 600 lineto 3 setlinewidth stroke\n";
        ps += "0.5 setgray 100 300 200 150 rectfill showpage\n";
    }
    return ps + "%%EOF\n";
}

// Runs Ghostscript's pxlmono device and returns its output.
std::string pxlmono(int pages, const std::string &gsArgs)
{
    TempDir dir;
    const std::string ps = dir.path() + "/doc.ps";
    const std::string out = dir.path() + "/doc.pxl";
    std::ofstream(ps) << postScript(pages);
    const std::string cmd = "gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pxlmono " + gsArgs +
                            " -sOutputFile='" + out + "' '" + ps + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return readFile(out);
}

// Offset of the PCL XL stream header in Ghostscript's output.
std::size_t streamHeader(const std::string &gsOutput)
{
    const auto at = gsOutput.find("@PJL ENTER LANGUAGE = PCLXL\n");
    return at == std::string::npos ? at : at + 28;
}

struct GsCase {
    int pages;
    std::string args;
    int dpi;
    std::string media;
    int duplexMode;
};

void PrintTo(const GsCase &c, std::ostream *os)
{
    *os << c.pages << " pages, gs " << c.args;
}

class RealPxlmono : public ::testing::TestWithParam<GsCase>
{
};

TEST_P(RealPxlmono, DecodesPagesResolutionAndMedia)
{
    const GsCase &c = GetParam();
    const std::string out = pxlmono(c.pages, c.args);
    const std::size_t start = streamHeader(out);
    ASSERT_NE(start, std::string::npos);
    const PclXlResult r = decodePclXl(bytes(out) + start, out.size() - start);
    EXPECT_TRUE(r.wellFormed) << r.error;
    EXPECT_EQ(r.binding, "lsb");
    EXPECT_EQ(r.pages, c.pages);
    EXPECT_EQ(r.beginPages, c.pages);
    EXPECT_EQ(r.unitsX, c.dpi);
    EXPECT_EQ(r.unitsY, c.dpi);
    EXPECT_GT(r.embeddedBytes, 0u);
    // Only the universal exit that Ghostscript ends with follows EndSession.
    EXPECT_EQ(out.substr(start + r.end), "\x1b%-12345X");
    ASSERT_EQ(r.pageList.size(), static_cast<std::size_t>(c.pages));
    for (std::size_t i = 0; i < r.pageList.size(); ++i) {
        EXPECT_EQ(r.pageList[i].mediaSize, c.media);
        EXPECT_EQ(r.pageList[i].duplexMode, c.duplexMode);
        if (c.duplexMode >= 0) {
            EXPECT_EQ(r.pageList[i].duplexSide, static_cast<int>(i % 2)) << "page " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ghostscript, RealPxlmono,
    ::testing::Values(GsCase{1, "-r600x600 -g4961x7016", 600, "a4", -1},
                      GsCase{4, "-r300x300 -g2550x3300", 300, "letter", -1},
                      GsCase{3, "-dDuplex -r1200x1200 -g9922x14032", 1200, "a4", 1},
                      GsCase{2, "-dDuplex -dTumble -r600x600 -g4961x7016", 600, "a4", 0}),
    [](const ::testing::TestParamInfo<GsCase> &param) {
        const GsCase &c = param.param;
        const char *duplex = c.duplexMode < 0 ? "Simplex" : c.duplexMode ? "LongEdge" : "ShortEdge";
        return std::to_string(c.pages) + "Pages" + std::to_string(c.dpi) + "Dpi" + c.media + duplex;
    });

TEST(RealPxlmono, CustomSizeCarriesItsDimensions)
{
    // 400 x 500 points at 600 dpi, as the filter's geometry for a custom size gives it.
    const std::string out = pxlmono(2, "-r600x600 -g3334x4166");
    const std::size_t start = streamHeader(out);
    const PclXlResult r = decodePclXl(bytes(out) + start, out.size() - start);
    ASSERT_TRUE(r.wellFormed) << r.error;
    ASSERT_EQ(r.pageList.size(), 2u);
    ASSERT_TRUE(r.pageList[0].customWidth.has_value());
    EXPECT_EQ(r.pageList[0].customUnits, 0); // inches
    EXPECT_NEAR(*r.pageList[0].customWidth, 3334 / 600.0, 0.01);
    EXPECT_NEAR(*r.pageList[0].customHeight, 4166 / 600.0, 0.01);
    EXPECT_EQ(r.pageList[0].mediaSize, "");
}

// The driver's framing around Ghostscript's data, as the printer receives it.
std::string driverJob(const std::string &gsOutput, bool cancelled, std::size_t cut = 0)
{
    const std::size_t headerLength = gsOutput.find("@PJL ENTER LANGUAGE");
    std::string job = "LockPrinter?LockPrinter?";
    job += "\x1b%-12345X\n\x1b#+54321X_VARN@PJL\n@PJL SET RENDERMODE=GRAYSCALE\n";
    job += "@PJL SET HOLD=OFF\n@PJL SET USERNAME=\"lp\"\n@PJL SET JOBTIME = 20240101120000\n";
    job += "@PJL SET RESOLUTION=600\n";
    std::string data = gsOutput.substr(headerLength);
    if (cut != 0)
        data.resize(cut);
    else
        data.resize(data.size() - 9); // the universal exit is the driver's to send
    job += data;
    job += cancelled ? std::string(kCancel) : std::string(kTrailer);
    return job;
}

TEST(JobStream, DriverFramedJob)
{
    const std::string gs = pxlmono(3, "-r600x600 -g4961x7016");
    const std::string job = driverJob(gs, false);
    const JobStream s = decodeJobStream(bytes(job), job.size());
    EXPECT_EQ(s.lockQueries, 2);
    EXPECT_EQ(s.jobStart, 24u);
    EXPECT_TRUE(s.vendorPrefix);
    EXPECT_FALSE(s.carriageReturns);
    EXPECT_EQ(s.language, "PCLXL");
    ASSERT_GE(s.headerLines.size(), 2u);
    EXPECT_EQ(s.headerLines.front(), "\x1b#+54321X_VARN@PJL");
    EXPECT_EQ(s.headerLines.back(), "@PJL ENTER LANGUAGE = PCLXL");
    EXPECT_EQ(s.settings.at("JOBTIME"), "20240101120000");
    EXPECT_EQ(s.settings.at("USERNAME"), "\"lp\"");
    EXPECT_TRUE(s.pclxl.wellFormed) << s.pclxl.error;
    EXPECT_EQ(s.pclxl.pages, 3);
    EXPECT_EQ(s.trailerLines, std::vector<std::string>{"\x1b#+54321X_VARN@PJL EOJ"});
    EXPECT_EQ(s.end, "trailer");
}

TEST(JobStream, CancelledInTheMiddleOfAPage)
{
    const std::string gs = pxlmono(3, "-r600x600 -g4961x7016");
    const std::string job = driverJob(gs, true, gs.size() / 2);
    const JobStream s = decodeJobStream(bytes(job), job.size());
    EXPECT_TRUE(s.pclxl.present);
    EXPECT_FALSE(s.pclxl.wellFormed);
    EXPECT_FALSE(s.pclxl.error.empty());
    EXPECT_LT(s.pclxl.pages, 3);
    EXPECT_EQ(s.trailerLines, std::vector<std::string>{"\x1b#+54321X_VARN@PJL CANCEL"});
    EXPECT_EQ(s.end, "cancel");
}

TEST(JobStream, EndingsAndOddHeaders)
{
    const std::string cancelOnly(kCancel);
    JobStream s = decodeJobStream(bytes(cancelOnly), cancelOnly.size());
    EXPECT_EQ(s.end, "cancel");
    EXPECT_FALSE(s.pclxl.present);
    EXPECT_EQ(s.language, "");

    const std::string queriesOnly = "LockPrinter?LockPrinter?LockPrinter?";
    s = decodeJobStream(bytes(queriesOnly), queriesOnly.size());
    EXPECT_EQ(s.lockQueries, 3);
    EXPECT_EQ(s.end, "empty");

    // A header with CR LF line ends, no vendor line, and a cut-off end.
    const std::string crlf = "\x1b%-12345X@PJL SET RESOLUTION=600\r\n@PJL ENTER LANGUAGE=PCLXL\r\n"
                             ") HP-PCL XL;2;0\n\x41\x43";
    s = decodeJobStream(bytes(crlf), crlf.size());
    EXPECT_TRUE(s.carriageReturns);
    EXPECT_FALSE(s.vendorPrefix);
    EXPECT_EQ(s.settings.at("RESOLUTION"), "600");
    EXPECT_EQ(s.pclxl.protocol, "2;0");
    EXPECT_EQ(s.end, "truncated");
}

// Builds PCL XL token streams by hand, in either byte order.
class Tokens
{
  public:
    explicit Tokens(bool lsb = true) : lsb_(lsb)
    {
        s_ = lsb ? ") HP-PCL XL;2;1;test\n" : "( HP-PCL XL;2;1;test\n";
    }
    Tokens &raw(std::string bytes)
    {
        s_ += bytes;
        return *this;
    }
    Tokens &u8(std::uint8_t v) { return raw({'\xc0', static_cast<char>(v)}); }
    Tokens &u16xy(std::uint16_t x, std::uint16_t y)
    {
        s_ += '\xd1';
        put(x, 2), put(y, 2);
        return *this;
    }
    Tokens &attr(std::uint8_t id) { return raw({'\xf8', static_cast<char>(id)}); }
    Tokens &op(std::uint8_t tag) { return raw({static_cast<char>(tag)}); }
    Tokens &put(std::uint32_t v, int width)
    {
        for (int i = 0; i < width; ++i)
            s_ += static_cast<char>(lsb_ ? v >> (8 * i) : v >> (8 * (width - 1 - i)));
        return *this;
    }
    Tokens &session() { return u16xy(600, 600).attr(137).u8(0).attr(134).op(0x41); }
    const std::string &str() const { return s_; }

  private:
    bool lsb_;
    std::string s_;
};

PclXlResult decode(const Tokens &t)
{
    return decodePclXl(bytes(t.str()), t.str().size());
}

TEST(HandBuiltPclXl, BigEndianArraysAndEmbeddedDataAreSkippedWhole)
{
    Tokens t(false);
    t.session();
    t.u8(2).attr(37).op(0x43); // BeginPage, A4
    // A ubyte array whose uint16 length (big endian 0x0004) and contents look like operators.
    t.raw("\xc8\xc1").put(4, 2).raw("\x43\x44\x43\x44").attr(168).op(0xa8);
    // ReadImage with 0x0102 bytes of data full of EndPage/EndSession bytes.
    t.op(0xb1).raw("\xfa").put(0x102, 4).raw(std::string(0x102, '\x44'));
    // LinePath with a short embedded block.
    t.op(0x9b).raw("\xfb\x03\x42\x42\x42");
    t.op(0x44).op(0x42);
    const PclXlResult r = decode(t);
    EXPECT_TRUE(r.wellFormed) << r.error;
    EXPECT_EQ(r.binding, "msb");
    EXPECT_EQ(r.pages, 1);
    EXPECT_EQ(r.unitsX, 600);
    EXPECT_EQ(r.embeddedBytes, 0x102u + 3u);
    EXPECT_EQ(r.pageList.at(0).mediaSize, "a4");
    EXPECT_EQ(r.end, t.str().size());
}

TEST(HandBuiltPclXl, MediaSizeAsStringAndPageCopies)
{
    Tokens t;
    t.session();
    t.raw("\xc8\xc0\x06LETTER").attr(37).op(0x43);
    t.raw("\xc1").put(3, 2).attr(49).op(0x44).op(0x42);
    const PclXlResult r = decode(t);
    ASSERT_TRUE(r.wellFormed) << r.error;
    EXPECT_EQ(r.pageList.at(0).mediaSize, "LETTER");
    EXPECT_EQ(r.pageList.at(0).copies, 3);
}

TEST(HandBuiltPclXl, MalformedStreamsAreReportedWithTheirOffset)
{
    struct Case {
        std::string name;
        Tokens tokens;
        std::string error;
    };
    std::vector<Case> cases;
    cases.push_back({"EndPage first", Tokens().session().op(0x44), "EndPage without BeginPage"});
    cases.push_back(
        {"nested page", Tokens().session().op(0x43).op(0x43), "BeginPage inside a page"});
    cases.push_back({"value without attribute", Tokens().session().u8(1).u8(2),
                     "value without attribute identifier"});
    cases.push_back({"value before operator", Tokens().session().op(0x43).u8(1).op(0x44),
                     "value without attribute identifier before operator"});
    cases.push_back({"attribute without value", Tokens().session().attr(37), "without a value"});
    cases.push_back({"unknown operator", Tokens().session().op(0x45), "unknown tag 0x45"});
    cases.push_back({"unknown data type", Tokens().session().raw("\xd8\x01"), "unknown data type"});
    cases.push_back({"stray data", Tokens().session().u8(1).attr(37).raw("\xfb\x01x"),
                     "embedded data not after an operator"});
    cases.push_back({"data past the end", Tokens().session().op(0xb1).raw("\xfa").put(0x1000, 4),
                     "stream ends inside a token"});
    cases.push_back({"array length type", Tokens().session().raw("\xc8\xc2"), "array length"});
    cases.push_back({"cut by universal exit", Tokens().session().op(0x43).raw("\x1b%-12345X"),
                     "universal exit before EndSession"});
    cases.push_back(
        {"no EndSession", Tokens().session().op(0x43).op(0x44), "stream ends before EndSession"});
    cases.push_back({"operator before session", Tokens().op(0x43), "outside a session"});
    cases.push_back(
        {"page after EndSession is not read", Tokens().session().op(0x42).op(0x43).op(0x44), ""});
    for (const Case &c : cases) {
        const PclXlResult r = decode(c.tokens);
        if (c.error.empty()) {
            EXPECT_TRUE(r.wellFormed) << c.name;
            EXPECT_EQ(r.pages, 0) << c.name;
            continue;
        }
        EXPECT_FALSE(r.wellFormed) << c.name;
        EXPECT_NE(r.error.find(c.error), std::string::npos) << c.name << ": " << r.error;
        EXPECT_NE(r.error.find("at offset"), std::string::npos) << c.name;
    }

    const std::string ascii = "' HP-PCL XL;2;1\n";
    EXPECT_NE(decodePclXl(bytes(ascii), ascii.size()).error.find("ASCII binding"),
              std::string::npos);
    const std::string garbage = "%!PS-Adobe-3.0\n";
    EXPECT_FALSE(decodePclXl(bytes(garbage), garbage.size()).present);
}

TEST(Json, EscapesControlBytesAndBrokenUtf8ButKeepsChinese)
{
    EXPECT_EQ(jsonQuote("\x1b#+54321X\n\"q\"\\"), "\"\\u001b#+54321X\\n\\\"q\\\"\\\\\"");
    EXPECT_EQ(jsonQuote("打印机忙"), "\"打印机忙\"");
    // A lone continuation byte, a truncated sequence and an overlong encoding.
    EXPECT_EQ(jsonQuote("a\x80z\xe6\x89"), "\"a\\u0080z\\u00e6\\u0089\"");
    EXPECT_EQ(jsonQuote("\xc0\xaf"), "\"\\u00c0\\u00af\"");

    JsonWriter w;
    w.beginObject().key("a").beginArray().value(1).value("x").endArray().key("b").beginObject();
    w.endObject().key("c").value(true).endObject();
    EXPECT_EQ(w.text(), "{\n  \"a\": [\n    1,\n    \"x\"\n  ],\n  \"b\": {},\n  \"c\": true\n}");
}

TEST(Behaviour, LockScriptsAndEscapes)
{
    std::string error;
    auto busy = LockScript::parse("busy:3", error);
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->replyTo(0), "CODE=00002");
    EXPECT_EQ(busy->replyTo(2), "CODE=00002");
    EXPECT_EQ(busy->replyTo(3), "CODE=00001");
    EXPECT_EQ(busy->replyTo(50), "CODE=00001");

    auto silent = LockScript::parse("silent", error);
    ASSERT_TRUE(silent);
    EXPECT_FALSE(silent->replyTo(0));

    auto list = LockScript::parse("replies:-,CODE=00003\\r,CODE=00001", error);
    ASSERT_TRUE(list);
    EXPECT_FALSE(list->replyTo(0));
    EXPECT_EQ(list->replyTo(1), "CODE=00003\r");
    EXPECT_EQ(list->replyTo(9), "CODE=00001");

    for (const char *bad : {"busy:", "busy:-1", "busy:x", "replies:", "replies:a\\q", "maybe"})
        EXPECT_FALSE(LockScript::parse(bad, error)) << bad;

    std::string out;
    EXPECT_TRUE(decodeEscapes("A\\x1b\\0\\\\", out));
    EXPECT_EQ(out, std::string("A\x1b\0\\", 4));
    EXPECT_FALSE(decodeEscapes("\\x1", out));
    EXPECT_FALSE(decodeEscapes("tail\\", out));
}

} // namespace
