// A small JSON writer for the job reports. Strings are written as valid UTF-8: control bytes and
// bytes that are not part of a valid UTF-8 sequence become \u escapes (a stray byte b as \u00bb).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zlpsim
{

class JsonWriter
{
  public:
    JsonWriter &beginObject();
    JsonWriter &endObject();
    JsonWriter &beginArray();
    JsonWriter &endArray();
    JsonWriter &key(std::string_view name);
    JsonWriter &value(std::string_view text);
    JsonWriter &value(const char *text) { return value(std::string_view(text)); }
    JsonWriter &value(long long number);
    JsonWriter &value(int number) { return value(static_cast<long long>(number)); }
    JsonWriter &value(unsigned long number) { return value(static_cast<long long>(number)); }
    JsonWriter &value(double number);
    JsonWriter &value(bool flag);
    JsonWriter &null();
    JsonWriter &strings(const std::vector<std::string> &texts);

    const std::string &text() const { return out_; }

  private:
    void separate();
    void indent();
    void close(char bracket);

    std::string out_;
    std::vector<bool> first_; // per open container: no member written yet
    bool afterKey_ = false;
};

std::string jsonQuote(std::string_view text);

} // namespace zlpsim
