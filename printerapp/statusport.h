// Network printers' status over UDP, beside the network monitor. The printer answers
// "GetStatus;" (sent to its port 9101) with a datagram to port 9102 of the asking host, whoever
// asked; the network monitor binds that port alone for its whole life. So the app never keeps
// the port:
// - with CAP_NET_RAW (the service) it reads copies of the datagrams to port 9102 from a raw
//   socket and never binds the port: the monitor is never kept out, and while the monitor runs
//   the app hears the replies to the monitor's own requests and asks no more itself;
// - without it, each poll binds the port for one short window (bind, ask, wait, close), and a
//   poll finds the port taken is skipped. The monitor retries a failed bind for longer than
//   that window before it says the port is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace statusport
{

constexpr uint16_t kRequestPort = 9101;
constexpr uint16_t kReplyPort = 9102;
// The longest one poll waits for its reply, and so holds the reply port without CAP_NET_RAW.
constexpr int kReplyWaitMs = 200;

struct Datagram {
    uint32_t source = 0; // IPv4, host order
    std::string payload;
};

// A packet as a raw IPv4 UDP socket reads it (IP header first): true and the datagram for a
// whole, unfragmented UDP datagram to `port` whose lengths agree; false for anything else.
// (The UDP checksum is not checked: the kernel copies packets to raw sockets before it does,
// and on loopback the field holds only a partial sum.)
bool udpDatagramTo(const unsigned char *packet, size_t length, uint16_t port, Datagram &out);

// Whether the text of /proc/net/udp or /proc/net/udp6 lists a socket bound to local `port`.
bool portListed(const std::string &procText, uint16_t port);

// What one poll of one printer does.
enum class PollPlan {
    Listen,       // another program asks this printer and hears on the port: take its replies
    AskAndListen, // ask from any port, hear the reply on the raw socket
    BindAndAsk,   // bind the port for one window, ask, wait for the reply, let go
    Skip,         // the port is another program's and there is no raw socket: nothing to hear
};
// `listening`: the raw socket is open; `portHeld`: another socket has the reply port;
// `heardSinceLastPoll`: a reply of this printer arrived since its last poll.
PollPlan pollPlan(bool listening, bool portHeld, bool heardSinceLastPoll);

// The sockets behind the polls of all network printers (one timer thread calls it).
class StatusPort
{
  public:
    using Apply = std::function<void(const std::string &reply)>;
    // `debug` true: a line for the debug log only.
    using Log = std::function<void(bool debug, const std::string &line)>;

    ~StatusPort();
    // One poll of the printer at `address` (IPv4, host order): every reply heard from it since
    // the last poll, and this poll's, go to `apply`. Blocks for at most kReplyWaitMs.
    void poll(uint32_t address, const Apply &apply, const Log &log);

  private:
    bool openListener(const Log &log);
    void drain();
    bool waitForReply(int fd, uint32_t address, bool raw, const Apply &apply);
    bool portHeld() const;

    int rawFd_ = -1;
    bool rawTried_ = false;
    std::map<uint32_t, std::vector<std::string>> heard_; // drained, not yet applied
};

} // namespace statusport
