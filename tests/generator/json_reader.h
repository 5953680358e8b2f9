// A small, strict JSON reader for the tests of mendrix-make --list --json:
// enough to check that the output is JSON at all and to look values up.
#ifndef MENDRIX_TESTS_GENERATOR_JSON_READER_H_
#define MENDRIX_TESTS_GENERATOR_JSON_READER_H_

#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mendrix::test {

struct TJson {
  enum class TKind { Null, Bool, Number, String, Array, Object };
  TKind Kind = TKind::Null;
  bool Bool = false;
  double Number = 0;
  std::string String;  // UTF-8
  std::vector<TJson> Array;
  std::map<std::string, TJson> Object;

  // The member name of an object; a Null value when there is none.
  const TJson& operator[](const std::string& name) const {
    static const TJson missing;
    const auto found = Object.find(name);
    return found == Object.end() ? missing : found->second;
  }
  const TJson& operator[](std::size_t index) const {
    static const TJson missing;
    return index < Array.size() ? Array[index] : missing;
  }
  std::int64_t Int() const { return static_cast<std::int64_t>(Number); }
};

namespace json_detail {

struct TReader {
  const std::string& Text;
  std::size_t At = 0;
  std::string Error;

  void SkipSpace() {
    while (At < Text.size() && (Text[At] == ' ' || Text[At] == '\n' || Text[At] == '\r' ||
                                Text[At] == '\t')) {
      ++At;
    }
  }
  bool Fail(const std::string& what) {
    if (Error.empty()) Error = what + " at byte " + std::to_string(At);
    return false;
  }
  bool Literal(const char* word) {
    const std::string w = word;
    if (Text.compare(At, w.size(), w) != 0) return Fail("bad literal");
    At += w.size();
    return true;
  }
  static void PutUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  bool String(std::string& out) {
    if (At >= Text.size() || Text[At] != '"') return Fail("string expected");
    ++At;
    while (At < Text.size() && Text[At] != '"') {
      const unsigned char c = static_cast<unsigned char>(Text[At]);
      if (c < 0x20) return Fail("raw control character in a string");
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        ++At;
        continue;
      }
      if (++At >= Text.size()) return Fail("string ends in an escape");
      const char e = Text[At++];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          if (At + 4 > Text.size()) return Fail("short \\u escape");
          const std::string hex = Text.substr(At, 4);
          if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return Fail("bad \\u escape");
          }
          PutUtf8(out, static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16)));
          At += 4;
          break;
        }
        default:
          return Fail("unknown escape");
      }
    }
    if (At >= Text.size()) return Fail("string not closed");
    ++At;
    return true;
  }
  bool Value(TJson& value) {
    SkipSpace();
    if (At >= Text.size()) return Fail("value expected");
    const char c = Text[At];
    if (c == '{') {
      value.Kind = TJson::TKind::Object;
      ++At;
      SkipSpace();
      if (At < Text.size() && Text[At] == '}') return ++At, true;
      for (;;) {
        SkipSpace();
        std::string name;
        if (!String(name)) return false;
        SkipSpace();
        if (At >= Text.size() || Text[At] != ':') return Fail("':' expected");
        ++At;
        if (value.Object.contains(name)) return Fail("member \"" + name + "\" twice");
        if (!Value(value.Object[name])) return false;
        SkipSpace();
        if (At < Text.size() && Text[At] == ',') {
          ++At;
          continue;
        }
        if (At < Text.size() && Text[At] == '}') return ++At, true;
        return Fail("',' or '}' expected");
      }
    }
    if (c == '[') {
      value.Kind = TJson::TKind::Array;
      ++At;
      SkipSpace();
      if (At < Text.size() && Text[At] == ']') return ++At, true;
      for (;;) {
        value.Array.emplace_back();
        if (!Value(value.Array.back())) return false;
        SkipSpace();
        if (At < Text.size() && Text[At] == ',') {
          ++At;
          continue;
        }
        if (At < Text.size() && Text[At] == ']') return ++At, true;
        return Fail("',' or ']' expected");
      }
    }
    if (c == '"') {
      value.Kind = TJson::TKind::String;
      return String(value.String);
    }
    if (c == 't' || c == 'f') {
      value.Kind = TJson::TKind::Bool;
      value.Bool = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') return Literal("null");
    const std::size_t start = At;
    if (At < Text.size() && Text[At] == '-') ++At;
    while (At < Text.size() && (std::isdigit(static_cast<unsigned char>(Text[At])) ||
                                Text[At] == '.' || Text[At] == 'e' || Text[At] == 'E' ||
                                Text[At] == '+' || Text[At] == '-')) {
      ++At;
    }
    if (At == start) return Fail("value expected");
    value.Kind = TJson::TKind::Number;
    value.Number = std::stod(Text.substr(start, At - start));
    return true;
  }
};

}  // namespace json_detail

// Reads one JSON value that makes up the whole text (white space around it
// allowed). False with error set when the text is no such value.
inline bool ParseJson(const std::string& text, TJson& value, std::string& error) {
  json_detail::TReader reader{text, 0, {}};
  value = TJson();
  bool ok = reader.Value(value);
  if (ok) {
    reader.SkipSpace();
    if (reader.At != text.size()) ok = reader.Fail("text after the value");
  }
  error = reader.Error;
  return ok;
}

}  // namespace mendrix::test

#endif  // MENDRIX_TESTS_GENERATOR_JSON_READER_H_
