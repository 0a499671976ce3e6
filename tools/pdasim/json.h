// A small JSON text builder for the session report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace pdasim {

inline std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Builds one object or array; nested values are passed in as finished text.
class JsonList {
 public:
  explicit JsonList(bool object) : object_(object) {}
  JsonList& Raw(const std::string& key, const std::string& value) {
    text_ += text_.empty() ? "" : ", ";
    if (object_) text_ += JsonString(key) + ": ";
    text_ += value;
    return *this;
  }
  JsonList& Str(const std::string& key, const std::string& value) { return Raw(key, JsonString(value)); }
  JsonList& Num(const std::string& key, std::uint64_t value) { return Raw(key, std::to_string(value)); }
  JsonList& Bool(const std::string& key, bool value) { return Raw(key, value ? "true" : "false"); }
  JsonList& Add(const std::string& value) { return Raw("", value); }
  std::string Text() const { return object_ ? "{" + text_ + "}" : "[" + text_ + "]"; }

 private:
  bool object_;
  std::string text_;
};

}  // namespace pdasim
