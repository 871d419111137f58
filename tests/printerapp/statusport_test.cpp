// The status port's reading of raw packets and of the kernel's socket list: a wrong offset or
// length here would apply a stranger's bytes as the printer's state, or miss every reply.
#include "addressfile.h"
#include "statusport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using statusport::Datagram;
using statusport::udpDatagramTo;

struct Packet {
    uint32_t source = 0x7f000002; // 127.0.0.2
    uint16_t destinationPort = 9102;
    std::string payload = "CODE=41913\r";
    int optionWords = 0;   // IP options, in 4-byte words
    uint16_t fragment = 0; // flags and offset field
    uint8_t protocol = 17;
    int udpLengthDelta = 0; // a UDP length field that lies
    size_t trailing = 0;    // bytes after the datagram (padding of a short frame)

    std::vector<unsigned char> bytes() const
    {
        const size_t ipLength = 20 + static_cast<size_t>(optionWords) * 4;
        const size_t total = ipLength + 8 + payload.size();
        std::vector<unsigned char> p(total + trailing, 0);
        p[0] = static_cast<unsigned char>(0x40 | (ipLength / 4));
        p[2] = static_cast<unsigned char>(total >> 8);
        p[3] = static_cast<unsigned char>(total);
        p[6] = static_cast<unsigned char>(fragment >> 8);
        p[7] = static_cast<unsigned char>(fragment);
        p[8] = 64;
        p[9] = protocol;
        for (int i = 0; i < 4; ++i)
            p[12 + i] = static_cast<unsigned char>(source >> (24 - 8 * i));
        p[16] = 127;
        p[19] = 1;
        unsigned char *udp = p.data() + ipLength;
        udp[0] = 0x23;
        udp[1] = 0x8d; // from 9101
        udp[2] = static_cast<unsigned char>(destinationPort >> 8);
        udp[3] = static_cast<unsigned char>(destinationPort);
        const size_t udpLength = 8 + payload.size() + static_cast<size_t>(udpLengthDelta);
        udp[4] = static_cast<unsigned char>(udpLength >> 8);
        udp[5] = static_cast<unsigned char>(udpLength);
        std::copy(payload.begin(), payload.end(), udp + 8);
        return p;
    }
};

bool parse(const Packet &packet, Datagram &out, size_t cut = 0)
{
    const std::vector<unsigned char> bytes = packet.bytes();
    return udpDatagramTo(bytes.data(), bytes.size() - cut, 9102, out);
}

TEST(StatusPortPacket, ReplyToThePortGivesSenderAndExactPayload)
{
    Datagram d;
    Packet plain;
    ASSERT_TRUE(parse(plain, d));
    EXPECT_EQ(d.source, 0x7f000002u);
    EXPECT_EQ(d.payload, "CODE=41913\r");

    // Options move the UDP header; padding after the datagram is not payload.
    Packet shaped;
    shaped.optionWords = 3;
    shaped.trailing = 6;
    shaped.payload = "CODE=10001\rCODE=10209";
    ASSERT_TRUE(parse(shaped, d));
    EXPECT_EQ(d.payload, "CODE=10001\rCODE=10209");

    // An empty datagram is a reply too.
    Packet empty;
    empty.payload.clear();
    ASSERT_TRUE(parse(empty, d));
    EXPECT_EQ(d.payload, "");
}

TEST(StatusPortPacket, AnythingButAWholeDatagramToThePortIsRefused)
{
    Datagram d;
    Packet otherPort;
    otherPort.destinationPort = 5353;
    EXPECT_FALSE(parse(otherPort, d));
    Packet first, later;
    first.fragment = 0x2000; // more fragments follow
    later.fragment = 0x0010; // an offset
    EXPECT_FALSE(parse(first, d));
    EXPECT_FALSE(parse(later, d));
    Packet dontFragment;
    dontFragment.fragment = 0x4000; // allowed: a whole datagram
    EXPECT_TRUE(parse(dontFragment, d));
    Packet tcp;
    tcp.protocol = 6;
    EXPECT_FALSE(parse(tcp, d));
    Packet longer, shorter;
    longer.udpLengthDelta = 1;    // would read past the packet
    shorter.udpLengthDelta = -12; // shorter than its own header
    EXPECT_FALSE(parse(longer, d));
    EXPECT_FALSE(parse(shorter, d));
    // Cut short: the IP length says more than was read.
    EXPECT_FALSE(parse(Packet(), d, 1));
    const unsigned char tiny[19] = {0x45};
    EXPECT_FALSE(udpDatagramTo(tiny, sizeof tiny, 9102, d));
    std::vector<unsigned char> badHeader = Packet().bytes();
    badHeader[0] = 0x44; // a header of 16 bytes cannot be
    EXPECT_FALSE(udpDatagramTo(badHeader.data(), badHeader.size(), 9102, d));
    badHeader[0] = 0x65; // IPv6 version nibble
    EXPECT_FALSE(udpDatagramTo(badHeader.data(), badHeader.size(), 9102, d));
}

TEST(StatusPortSockets, ThePortIsFoundBoundInEitherTableButNotAsARemotePort)
{
    const std::string udp =
        "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode ref pointer drops\n"
        "  264: 00000000:14E9 00000000:0000 07 00000000:00000000 00:00000000 00000000   108 "
        "       0 17631 2 0000000000000000 0\n"
        "  790: 0100007F:8BA2 0200007F:238E 01 00000000:00000000 00:00000000 00000000     0 "
        "       0 40013 2 0000000000000000 0\n";
    EXPECT_FALSE(statusport::portListed(udp, 9102));
    EXPECT_TRUE(statusport::portListed(udp, 5353));
    const std::string withPort =
        udp + "  301: 00000000:238E 00000000:0000 07 00000000:00000000 00:00000000 00000000  "
              " 1000        0 40100 2 0000000000000000 0\n";
    EXPECT_TRUE(statusport::portListed(withPort, 9102));
    EXPECT_FALSE(statusport::portListed(withPort, 0x238)); // not a prefix match
    // The monitor's Qt socket binds the dual-stack any address: it shows in udp6.
    const std::string udp6 =
        "  sl  local_address                         remote_address                        st "
        "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
        "  301: 00000000000000000000000000000000:238E 00000000000000000000000000000000:0000 07 "
        "00000000:00000000 00:00000000 00000000  1000        0 40100 2 0000000000000000 0\n";
    EXPECT_TRUE(statusport::portListed(udp6, 9102));
    // The title line alone, or nothing: no socket.
    EXPECT_FALSE(statusport::portListed(udp.substr(0, udp.find('\n') + 1), 5353));
    EXPECT_FALSE(statusport::portListed("", 9102));
}

} // namespace

namespace
{

TEST(RegisteredPrinter, TheAddressLineAsTheSetupToolWritesItOrNothing)
{
    EXPECT_EQ(registeredPrinterAddress("192.168.1.10"), "192.168.1.10");
    EXPECT_EQ(registeredPrinterAddress("printer\n 10.0.0.5 \r\n"), "10.0.0.5");
    // The address goes into the device URI: anything but four numbers is no address.
    for (const char *bad : {"", "1.2.3", "1.2.3.256", "0.0.0.0", "a.b.c.d", "1.2.3.4;reboot",
                            "1.2.3.4/x", "1.2.3.4 5", "1..2.3"})
        EXPECT_EQ(registeredPrinterAddress(bad), "") << bad;
    // The first line of four parts counts, as for the network monitor.
    EXPECT_EQ(registeredPrinterAddress("1.2.3.x\n10.0.0.6\n"), "");
}

} // namespace
