// PDF spool files: telling them from PostScript, and their page count through qpdf, with PDFs
// that Ghostscript and qpdf make here.
#include "pdfpages.h"
#include "spoolcount.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace
{

bool isPdf(const std::string &start)
{
    return isPdfStart(start.data(), start.size());
}

TEST(PdfSpool, HeaderWithinTheFirstKilobyte)
{
    EXPECT_TRUE(isPdf("%PDF-1.7\n%\xe2\xe3\xcf\xd3\n"));
    EXPECT_TRUE(isPdf(std::string(1000, ' ') + "%PDF-1.4"));
    EXPECT_FALSE(isPdf(std::string(1020, ' ') + "%PDF-1.4")); // cut at 1024
    EXPECT_FALSE(isPdf("%!PS-Adobe-3.0\n%%Pages: 3\n"));
    // A PostScript job that mentions PDF in a comment is still PostScript, even a full header.
    EXPECT_FALSE(isPdf("%!PS\n%%Title: (report.pdf) %PDF\n"));
    EXPECT_FALSE(isPdf("%!PS-Adobe-3.0\n%%Title: (%PDF-1.7 reference)\n%%Pages: 3\n"));
    EXPECT_FALSE(isPdf("%!%PDF-1.4\n"));
    // Other bytes before the header (a PJL preamble, a byte-order mark) leave it a PDF.
    EXPECT_TRUE(isPdf("\x1b%-12345X@PJL\n%PDF-1.4\n"));
    EXPECT_TRUE(isPdf("%PS junk\n%PDF-1.4\n"));
    EXPECT_FALSE(isPdf("%PDF"));
    EXPECT_FALSE(isPdf(""));
}

class PdfPages : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char dir[] = "/tmp/pdfpages-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        std::ofstream(path("doc.ps")) << "%!PS\n"
                                         "1 1 3 { /Helvetica findfont 20 scalefont setfont\n"
                                         "72 700 moveto (page) show showpage } for\n";
        ASSERT_EQ(run("gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile=" +
                      path("three.pdf") + " " + path("doc.ps")),
                  0);
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    static int run(const std::string &command)
    {
        return std::system((command + " >/dev/null 2>&1").c_str());
    }
    int pages(const std::string &name)
    {
        error_ = "not set";
        return pdfPageCount(path(name).c_str(), error_);
    }

    std::string dir_;
    std::string error_;
};

TEST_F(PdfPages, ReadableDocumentsCountTheirPages)
{
    EXPECT_EQ(pages("three.pdf"), 3);
    EXPECT_EQ(error_, "");
    // Encrypted with an owner password only: anyone may open it, as CUPS's own filters do.
    ASSERT_EQ(run("qpdf --encrypt '' owner 256 -- " + path("three.pdf") + " " + path("aes.pdf")),
              0);
    EXPECT_EQ(pages("aes.pdf"), 3);
    // A damaged cross-reference table is repaired, as qpdf does for every reader.
    std::ifstream in(path("three.pdf"), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t xref = data.rfind("startxref");
    ASSERT_NE(xref, std::string::npos);
    std::ofstream(path("badxref.pdf"), std::ios::binary)
        << data.substr(0, xref) << "startxref\n999999\n%%EOF\n";
    EXPECT_EQ(pages("badxref.pdf"), 3);
}

TEST_F(PdfPages, UnreadableDocumentsCountNothing)
{
    ASSERT_EQ(
        run("qpdf --encrypt secret owner 256 -- " + path("three.pdf") + " " + path("locked.pdf")),
        0);
    EXPECT_EQ(pages("locked.pdf"), 0);
    EXPECT_TRUE(error_.find("invalid password") != std::string::npos) << error_;
    std::ofstream(path("garbage.pdf"), std::ios::binary) << "%PDF-1.4\n"
                                                         << std::string(5000, '\x7f');
    EXPECT_EQ(pages("garbage.pdf"), 0);
    std::ofstream(path("header-only.pdf"), std::ios::binary) << "%PDF-1.4\n";
    EXPECT_EQ(pages("header-only.pdf"), 0);
    EXPECT_EQ(pages("missing.pdf"), 0);
}

} // namespace
