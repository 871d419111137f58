// The simulated printer as a host's generic USB printer driver meets it (the requests
// PAPPL's and CUPS's USB code make before a job): standard and printer class control
// requests, and what each open handle sent, kept apart.
#include "usblinktestsupport.h"

#include <cstdlib>
#include <fstream>
#include <libusb.h>
#include <sstream>
#include <unistd.h>

namespace
{

constexpr std::uint16_t kVendor = 0x0efd, kProduct = 0x0091;

class PrinterClass : public UsbLinkTest
{
  protected:
    void TearDown() override
    {
        for (libusb_device_handle *handle : handles_)
            libusb_close(handle);
        if (context_)
            libusb_exit(context_);
        UsbLinkTest::TearDown();
    }
    // libusb reads the bus when its context starts: only once the printer is on it.
    libusb_device_handle *open()
    {
        if (!context_ && libusb_init(&context_) != 0)
            return nullptr;
        libusb_device_handle *handle =
            libusb_open_device_with_vid_pid(context_, kVendor, kProduct);
        if (handle)
            handles_.push_back(handle);
        return handle;
    }
    // A class request IN to interface 0, as a printer driver sends it.
    int classIn(libusb_device_handle *handle, std::uint8_t request, unsigned char *buffer,
                std::uint16_t length)
    {
        return libusb_control_transfer(handle,
                                       LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_ENDPOINT_IN |
                                           LIBUSB_RECIPIENT_INTERFACE,
                                       request, 0, 0, buffer, length, 1000);
    }

    libusb_context *context_ = nullptr;
    std::vector<libusb_device_handle *> handles_;
};

std::string fileText(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// PAPPL asks for the configuration in use and sets configuration 1 when the answer differs:
// a printer that stalls GET_CONFIGURATION or refuses SET_CONFIGURATION is skipped, unlisted.
TEST_F(PrinterClass, ConfigurationCanBeReadAndSet)
{
    startPrinter("on \"CheckStatus?\"\n  reply \"CODE=10001\"\n");
    libusb_device_handle *handle = open();
    ASSERT_NE(handle, nullptr);
    unsigned char current = 0;
    ASSERT_EQ(libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_CONFIGURATION,
                                      0, 0, &current, 1, 1000),
              1);
    EXPECT_EQ(current, 1);
    EXPECT_EQ(libusb_set_configuration(handle, 1), 0);
    EXPECT_NE(libusb_set_configuration(handle, 2), 0) << "the printer has one configuration";

    // While another program has the interface, the configuration stays as it is.
    ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
    libusb_device_handle *other = open();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(libusb_set_configuration(other, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);
    libusb_release_interface(handle, 0);
    EXPECT_EQ(libusb_claim_interface(other, 0), 0);
}

TEST_F(PrinterClass, PrinterClassRequestsAreAnswered)
{
    startPrinter("");
    libusb_device_handle *handle = open();
    ASSERT_NE(handle, nullptr);
    unsigned char id[1024] = {};
    const int n = classIn(handle, 0, id, sizeof id); // GET_DEVICE_ID
    ASSERT_GT(n, 2);
    EXPECT_EQ((id[0] << 8 | id[1]), n) << "big-endian length, counting itself";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(id) + 2, n - 2), zlpsim::printerDeviceId);
    unsigned char status = 0;
    ASSERT_EQ(classIn(handle, 1, &status, 1), 1); // GET_PORT_STATUS
    EXPECT_EQ(status & 0x08, 0x08) << "not in error";
    EXPECT_EQ(status & 0x20, 0) << "paper present";
    EXPECT_EQ(classIn(handle, 7, &status, 1), LIBUSB_ERROR_PIPE) << "unknown requests stall";
}

// A job's stream and a status poll, each from its own open: each in a file of its own, so
// the job decodes without the polls around it.
TEST_F(PrinterClass, EachOpenSendsIntoItsOwnStreamFile)
{
    char dir[] = "/tmp/zlpsim-streams-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string error;
    printer_ = std::make_unique<zlpsim::SimulatedUsbPrinter>(
        *zlpsim::parsePrinterScript("", &error), std::string(), dir);
    auto sendOn = [&](libusb_device_handle *handle, const std::string &bytes) {
        int done = 0;
        std::string copy = bytes;
        return libusb_bulk_transfer(handle, 0x01, reinterpret_cast<unsigned char *>(&copy[0]),
                                    static_cast<int>(copy.size()), &done, 1000) == 0 &&
               done == static_cast<int>(copy.size());
    };
    libusb_device_handle *job = open();
    libusb_device_handle *poll = open();
    ASSERT_TRUE(job && poll);
    ASSERT_EQ(libusb_claim_interface(job, 0), 0);
    ASSERT_TRUE(sendOn(job, "\x1b%-12345X@PJL JOB\n"));
    libusb_release_interface(job, 0);
    ASSERT_EQ(libusb_claim_interface(poll, 0), 0);
    ASSERT_TRUE(sendOn(poll, "CheckStatus?"));
    libusb_release_interface(poll, 0);
    ASSERT_EQ(libusb_claim_interface(job, 0), 0);
    ASSERT_TRUE(sendOn(job, std::string(20000, 'x')));
    EXPECT_EQ(fileText(std::string(dir) + "/open-001.bin"),
              "\x1b%-12345X@PJL JOB\n" + std::string(20000, 'x'));
    EXPECT_EQ(fileText(std::string(dir) + "/open-002.bin"), "CheckStatus?");
    std::system((std::string("rm -rf ") + dir).c_str());
}

} // namespace
