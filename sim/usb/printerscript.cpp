#include "printerscript.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace zlpsim
{
namespace
{

// No real reply comes near this; the cap keeps a typo like *99999999 from eating memory.
constexpr std::size_t maxDataSize = 1 << 20;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseCount(const std::string &word, long max, long *out)
{
    if (word.empty() || word.size() > 9)
        return false;
    for (char c : word) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    *out = std::strtol(word.c_str(), nullptr, 10);
    return *out <= max;
}

// Splits one script line into words and data. Data is one or more quoted pieces written
// together ("a" x"0d" "b"*3); words are everything else.
class LineReader
{
  public:
    explicit LineReader(const std::string &line) : line_(line) {}

    bool atEnd()
    {
        skipSpace();
        return pos_ >= line_.size() || line_[pos_] == '#';
    }

    bool atData()
    {
        skipSpace();
        return pos_ < line_.size() && (line_[pos_] == '"' || (line_[pos_] == 'x' && next() == '"'));
    }

    std::string word()
    {
        skipSpace();
        std::size_t start = pos_;
        while (pos_ < line_.size() && !std::isspace(static_cast<unsigned char>(line_[pos_])) &&
               line_[pos_] != '#')
            ++pos_;
        return line_.substr(start, pos_ - start);
    }

    // Reads consecutive data pieces; returns false and sets error_ on a malformed piece.
    bool data(std::string *out)
    {
        out->clear();
        while (atData()) {
            std::string piece;
            bool ok = line_[pos_] == 'x' ? hexPiece(&piece) : quotedPiece(&piece);
            if (!ok)
                return false;
            long times = 1;
            if (pos_ < line_.size() && line_[pos_] == '*') {
                ++pos_;
                std::size_t start = pos_;
                while (pos_ < line_.size() && std::isdigit(static_cast<unsigned char>(line_[pos_])))
                    ++pos_;
                if (!parseCount(line_.substr(start, pos_ - start), maxDataSize, &times))
                    return fail("expected a repeat count after '*'");
            }
            if (piece.size() * static_cast<std::size_t>(times) + out->size() > maxDataSize)
                return fail("data longer than 1 MiB");
            for (long i = 0; i < times; ++i)
                *out += piece;
        }
        return true;
    }

    const std::string &error() const { return error_; }

  private:
    char next() const { return pos_ + 1 < line_.size() ? line_[pos_ + 1] : '\0'; }

    void skipSpace()
    {
        while (pos_ < line_.size() && std::isspace(static_cast<unsigned char>(line_[pos_])))
            ++pos_;
    }

    bool fail(const std::string &message)
    {
        error_ = message;
        return false;
    }

    bool quotedPiece(std::string *out)
    {
        ++pos_; // opening quote
        while (pos_ < line_.size() && line_[pos_] != '"') {
            char c = line_[pos_++];
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos_ >= line_.size())
                break;
            char e = line_[pos_++];
            switch (e) {
            case 'r':
                *out += '\r';
                break;
            case 'n':
                *out += '\n';
                break;
            case 't':
                *out += '\t';
                break;
            case '0':
                *out += '\0';
                break;
            case '\\':
            case '"':
                *out += e;
                break;
            case 'x': {
                int hi = pos_ < line_.size() ? hexValue(line_[pos_]) : -1;
                int lo = pos_ + 1 < line_.size() ? hexValue(line_[pos_ + 1]) : -1;
                if (hi < 0 || lo < 0)
                    return fail("\\x needs two hex digits");
                *out += static_cast<char>(hi * 16 + lo);
                pos_ += 2;
                break;
            }
            default:
                return fail(std::string("unknown escape \\") + e);
            }
        }
        if (pos_ >= line_.size())
            return fail("missing closing quote");
        ++pos_; // closing quote
        return true;
    }

    bool hexPiece(std::string *out)
    {
        pos_ += 2; // x"
        int high = -1;
        while (pos_ < line_.size() && line_[pos_] != '"') {
            char c = line_[pos_++];
            if (std::isspace(static_cast<unsigned char>(c)))
                continue;
            int v = hexValue(c);
            if (v < 0)
                return fail(std::string("not a hex digit: ") + c);
            if (high < 0) {
                high = v;
            } else {
                *out += static_cast<char>(high * 16 + v);
                high = -1;
            }
        }
        if (pos_ >= line_.size())
            return fail("missing closing quote");
        if (high >= 0)
            return fail("odd number of hex digits");
        ++pos_;
        return true;
    }

    const std::string &line_;
    std::size_t pos_ = 0;
    std::string error_;
};

bool parseUsbId(const std::string &word, UsbId *id)
{
    if (word.size() != 9 || word[4] != ':')
        return false;
    unsigned value[2] = {0, 0};
    for (int part = 0; part < 2; ++part) {
        for (int i = 0; i < 4; ++i) {
            int v = hexValue(word[static_cast<std::size_t>(part * 5 + i)]);
            if (v < 0)
                return false;
            value[part] = value[part] * 16 + static_cast<unsigned>(v);
        }
    }
    id->vendor = static_cast<std::uint16_t>(value[0]);
    id->product = static_cast<std::uint16_t>(value[1]);
    return true;
}

} // namespace

std::optional<PrinterScript> parsePrinterScript(const std::string &text, std::string *error)
{
    PrinterScript script;
    bool devicesGiven = false;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto failAt = [&](const std::string &message) {
        *error = "line " + std::to_string(number) + ": " + message;
        return std::nullopt;
    };

    while (std::getline(in, line)) {
        ++number;
        LineReader reader(line);
        if (reader.atEnd())
            continue;
        std::string keyword = reader.word();

        if (keyword == "device") {
            if (!devicesGiven)
                script.devices.clear();
            devicesGiven = true;
            std::string what = reader.word();
            UsbId id;
            if (what == "none")
                ;
            else if (parseUsbId(what, &id))
                script.devices.push_back(id);
            else
                return failAt("expected \"none\" or VID:PID in hex (0efd:0091), got \"" + what +
                              "\"");
        } else if (keyword == "driver") {
            std::string name = reader.word();
            if (name.empty() || name.size() > 255)
                return failAt("expected a driver name or \"none\"");
            script.kernelDriver = name == "none" ? std::string() : name;
        } else if (keyword == "fail") {
            std::string what = reader.word();
            if (what == "detach")
                script.failDetach = true;
            else if (what == "claim")
                script.failClaim = true;
            else if (what == "release")
                script.failRelease = true;
            else
                return failAt("expected detach, claim or release after \"fail\", got \"" + what +
                              "\"");
        } else if (keyword == "short-write") {
            long limit = 0;
            if (!parseCount(reader.word(), 1 << 20, &limit))
                return failAt("expected a byte count after \"short-write\"");
            script.writeLimit = static_cast<int>(limit);
        } else if (keyword == "on") {
            std::string command;
            if (!reader.atData())
                return failAt("expected the command in quotes after \"on\"");
            if (!reader.data(&command))
                return failAt(reader.error());
            if (command.empty())
                return failAt("the command must not be empty");
            script.answers.push_back(CommandReplies{command, {}});
        } else if (keyword == "reply") {
            if (script.answers.empty())
                return failAt("\"reply\" before any \"on\" line");
            Reply reply;
            if (reader.atData()) {
                if (!reader.data(&reply.bytes))
                    return failAt(reader.error());
            } else {
                std::string word = reader.word();
                if (word == "none")
                    reply.silent = true;
                else if (word == "gone")
                    reply.gone = true;
                else
                    return failAt("expected data in quotes, \"none\" or \"gone\" after \"reply\"");
            }
            long times = 1;
            if (!reader.atEnd()) {
                if (reader.word() != "times" || !parseCount(reader.word(), 100000, &times))
                    return failAt("expected \"times N\" at the end of the reply");
            }
            auto &reads = script.answers.back().reads;
            reads.insert(reads.end(), static_cast<std::size_t>(times), reply);
        } else {
            return failAt("unknown keyword \"" + keyword + "\"");
        }
        if (!reader.atEnd())
            return failAt("unexpected text after \"" + keyword + "\" line: \"" + reader.word() +
                          "\"");
    }
    return script;
}

std::string quoteBytes(const std::string &bytes)
{
    std::string out = "\"";
    for (char c : bytes) {
        auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (u >= 0x20 && u < 0x7f) {
                out += c;
            } else {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", u);
                out += hex;
            }
        }
    }
    return out + "\"";
}

std::string describeSetIp(const std::string &command)
{
    if (command.size() != 19 || command.compare(0, 6, "SetIP=") != 0 || command[18] != ';')
        return {};
    static const char *const names[] = {"ip", "mask", "gateway"};
    std::string out;
    for (int field = 0; field < 3; ++field) {
        out += field ? " " : "";
        out += names[field];
        out += '=';
        for (int i = 0; i < 4; ++i) {
            auto octet =
                static_cast<unsigned char>(command[static_cast<std::size_t>(6 + field * 4 + i)]);
            out += (i ? "." : "") + std::to_string(octet);
        }
    }
    return out;
}

} // namespace zlpsim
