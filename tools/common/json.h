// A small JSON text builder for the tools' reports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The length of the valid UTF-8 sequence of two or more bytes at text[at], or 0. Over-
// long forms, surrogates and code points past U+10FFFF are not valid.
inline std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  std::uint32_t point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    point = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    point = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t n = 1; n < length; ++n) {
    const auto next = static_cast<unsigned char>(text[at + n]);
    if ((next & 0xC0) != 0x80) return 0;
    point = point << 6 | (next & 0x3Fu);
  }
  const std::uint32_t least = length == 4 ? 0x10000 : length == 3 ? 0x800 : 0x80;
  const bool valid = point >= least && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
  return valid ? length : 0;
}

// The text as a JSON string. Valid UTF-8 passes as it is; control bytes are escaped;
// a byte that is no part of valid UTF-8 (a file name need not be) becomes U+FFFD.
inline std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += text[i++];
    } else if (byte == '\n') {
      out += "\\n";
      ++i;
    } else if (byte == '\r') {
      out += "\\r";
      ++i;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
      ++i;
    } else if (byte < 0x80) {
      out += text[i++];
    } else if (const std::size_t length = Utf8SequenceLength(text, i); length != 0) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
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
