// A small JSON reader for the corpus expectations (trusted input, test use only).
#pragma once
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace velarin::moduletest {

struct JsonValue {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<JsonValue> array;
  std::map<std::string, JsonValue> object;

  bool IsNull() const { return kind == Null; }
  const JsonValue& operator[](const std::string& key) const {
    static const JsonValue null;
    auto it = object.find(key);
    return it == object.end() ? null : it->second;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}
  JsonValue Parse() {
    JsonValue v = Value();
    Space();
    if (i_ != s_.size()) throw std::runtime_error("trailing JSON text");
    return v;
  }

 private:
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
  }
  char Peek() {
    Space();
    if (i_ >= s_.size()) throw std::runtime_error("unexpected end of JSON");
    return s_[i_];
  }
  void Expect(char c) {
    if (Peek() != c) throw std::runtime_error(std::string("expected ") + c);
    ++i_;
  }
  static void PutUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  unsigned Hex4() {
    if (i_ + 4 > s_.size()) throw std::runtime_error("bad \\u escape");
    const unsigned v = unsigned(std::stoul(s_.substr(i_, 4), nullptr, 16));
    i_ += 4;
    return v;
  }
  std::string Str() {
    Expect('"');
    std::string out;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      c = s_[i_++];
      switch (c) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          unsigned cp = Hex4();
          if (cp >= 0xD800 && cp < 0xDC00 && i_ + 6 <= s_.size() && s_[i_] == '\\' && s_[i_ + 1] == 'u') {
            i_ += 2;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (Hex4() - 0xDC00);
          }
          PutUtf8(out, cp);
          break;
        }
        default: out += c;
      }
    }
    ++i_;
    return out;
  }
  JsonValue Value() {
    JsonValue v;
    const char c = Peek();
    if (c == '{') {
      v.kind = JsonValue::Object;
      ++i_;
      if (Peek() == '}') { ++i_; return v; }
      for (;;) {
        std::string key = Str();
        Expect(':');
        v.object[key] = Value();
        if (Peek() == ',') { ++i_; continue; }
        Expect('}');
        return v;
      }
    }
    if (c == '[') {
      v.kind = JsonValue::Array;
      ++i_;
      if (Peek() == ']') { ++i_; return v; }
      for (;;) {
        v.array.push_back(Value());
        if (Peek() == ',') { ++i_; continue; }
        Expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.kind = JsonValue::String;
      v.string = Str();
      return v;
    }
    if (s_.compare(i_, 4, "null") == 0) { i_ += 4; return v; }
    if (s_.compare(i_, 4, "true") == 0) { i_ += 4; v.kind = JsonValue::Bool; v.boolean = true; return v; }
    if (s_.compare(i_, 5, "false") == 0) { i_ += 5; v.kind = JsonValue::Bool; return v; }
    size_t used = 0;
    v.kind = JsonValue::Number;
    v.number = std::stod(s_.substr(i_, 32), &used);
    i_ += used;
    return v;
  }

  const std::string& s_;
  size_t i_ = 0;
};

}  // namespace velarin::moduletest
