#include "foundation/OpenStepPropertyList.hpp"

#include <cstdint>
#include <utility>

#include "foundation/PropertyList.hpp"

namespace tandril {

namespace {

bool isBareCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void appendUTF8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::optional<Value> read(std::string& problem) {
        std::optional<Value> value;
        if (!skipSpaceAndComments()) {
            fail("unterminated comment");
        } else if (peek('{') || peek('(')) {
            value = parseValue(0);
            if (value && (!skipSpaceAndComments() || pos_ != text_.size())) {
                value.reset();
                fail("unexpected text after the value");
            }
        } else {
            fail("expected a dictionary or an array");
        }
        if (!value) problem = problem_ + " on line " + std::to_string(line());
        return value;
    }

    // False when a block comment runs to the end.
    bool skipSpaceAndComments() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
                while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
            } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
                const std::size_t end = text_.find("*/", pos_ + 2);
                if (end == std::string_view::npos) {
                    pos_ = text_.size();
                    return false;
                }
                pos_ = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    bool atEnd() const { return pos_ >= text_.size(); }
    char current() const { return text_[pos_]; }

private:
    std::optional<Value> parseValue(int depth) {
        if (depth > PropertyList::kMaxDepth) return fail("nested too deeply");
        if (!skipSpaceAndComments()) return fail("unterminated comment");
        if (atEnd()) return fail("unexpected end of text");
        const char c = text_[pos_];
        if (c == '{') return parseDictionary(depth);
        if (c == '(') return parseArray(depth);
        if (c == '<') return parseData();
        auto s = parseString();
        if (!s) return std::nullopt;
        return Value(std::move(*s));
    }

    std::optional<Value> parseDictionary(int depth) {
        ++pos_;  // {
        Dictionary dictionary;
        for (;;) {
            if (!skipSpaceAndComments()) return fail("unterminated comment");
            if (atEnd()) return fail("unterminated dictionary");
            if (peek('}')) {
                ++pos_;
                return Value(std::move(dictionary));
            }
            auto key = parseString();
            if (!key) return std::nullopt;
            if (!skipSpaceAndComments() || !peek('=')) return fail("expected '=' after a key");
            ++pos_;
            auto value = parseValue(depth + 1);
            if (!value) return std::nullopt;
            if (!skipSpaceAndComments() || !peek(';')) return fail("expected ';' after a value");
            ++pos_;
            dictionary.insert_or_assign(std::move(*key), std::move(*value));
        }
    }

    std::optional<Value> parseArray(int depth) {
        ++pos_;  // (
        Array array;
        for (;;) {
            if (!skipSpaceAndComments()) return fail("unterminated comment");
            if (atEnd()) return fail("unterminated array");
            if (peek(')')) {
                ++pos_;
                return Value(std::move(array));
            }
            auto value = parseValue(depth + 1);
            if (!value) return std::nullopt;
            array.push_back(std::move(*value));
            if (!skipSpaceAndComments()) return fail("unterminated comment");
            if (peek(',')) {
                ++pos_;
            } else if (!peek(')')) {
                return fail("expected ',' or ')'");
            }
        }
    }

    std::optional<Value> parseData() {
        ++pos_;  // <
        Bytes data;
        int high = -1;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '>') {
                if (high >= 0) return fail("odd number of hex digits in data");
                return Value(std::move(data));
            }
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
            const int digit = hexDigit(c);
            if (digit < 0) return fail("bad character in data");
            if (high < 0) {
                high = digit;
            } else {
                data.push_back(static_cast<std::uint8_t>(high << 4 | digit));
                high = -1;
            }
        }
        return fail("unterminated data");
    }

    std::optional<std::string> parseString() {
        if (atEnd()) {
            fail("unexpected end of text");
            return std::nullopt;
        }
        const char c = text_[pos_];
        if (c == '"' || c == '\'') return parseQuoted(c);
        const std::size_t start = pos_;
        while (pos_ < text_.size() && isBareCharacter(text_[pos_])) ++pos_;
        if (pos_ == start) {
            fail("unexpected character");
            return std::nullopt;
        }
        return std::string(text_.substr(start, pos_ - start));
    }

    std::optional<std::string> parseQuoted(char quote) {
        ++pos_;
        std::string out;
        std::uint32_t pendingHigh = 0;  // a high surrogate waiting for its low half
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c != '\\') {
                if (pendingHigh) break;
                if (c == quote) return out;
                out.push_back(c);
                continue;
            }
            if (pos_ >= text_.size()) break;
            const char e = text_[pos_++];
            if (pendingHigh && e != 'U' && e != 'u') break;
            switch (e) {
            case 'a': out.push_back('\a'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'v': out.push_back('\v'); break;
            case 'U':
            case 'u': {
                std::uint32_t unit = 0;
                int digits = 0;
                for (; digits < 4 && pos_ < text_.size() && hexDigit(text_[pos_]) >= 0; ++digits) {
                    unit = unit << 4 | static_cast<std::uint32_t>(hexDigit(text_[pos_++]));
                }
                if (digits == 0) {
                    fail("bad \\U escape");
                    return std::nullopt;
                }
                if (pendingHigh) {
                    if (unit < 0xDC00 || unit >= 0xE000) break;
                    appendUTF8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
                    pendingHigh = 0;
                } else if (unit >= 0xD800 && unit < 0xDC00) {
                    pendingHigh = unit;
                } else if (unit >= 0xDC00 && unit < 0xE000) {
                    fail("unpaired surrogate");
                    return std::nullopt;
                } else {
                    appendUTF8(out, unit);
                }
                continue;
            }
            default:
                if (e >= '0' && e <= '7') {
                    // Up to three octal digits: a byte value, taken as that Latin-1 character.
                    std::uint32_t byte = static_cast<std::uint32_t>(e - '0');
                    for (int k = 0; k < 2 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++k) {
                        byte = byte << 3 | static_cast<std::uint32_t>(text_[pos_++] - '0');
                    }
                    if (byte > 0xFF) {
                        fail("bad octal escape");
                        return std::nullopt;
                    }
                    appendUTF8(out, byte);
                } else {
                    out.push_back(e);  // \" \' \\ and any other character stand for themselves
                }
            }
            if (pendingHigh) break;
        }
        fail(pendingHigh ? "unpaired surrogate" : "unterminated string");
        return std::nullopt;
    }

    bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    std::nullopt_t fail(const char* message) {
        if (problem_.empty()) problem_ = message;
        return std::nullopt;
    }
    std::size_t line() const {
        std::size_t n = 1;
        for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) n += text_[i] == '\n';
        return n;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string problem_;
};

}  // namespace

std::optional<Value> OpenStepPropertyList::parse(std::string_view text, std::string& problem) {
    return Reader(text).read(problem);
}

bool OpenStepPropertyList::looksLikeOpenStep(std::string_view text) {
    if (text.substr(0, 2) == "//" || text.substr(0, 2) == "/*") return true;
    Reader reader(text);
    reader.skipSpaceAndComments();
    return !reader.atEnd() && reader.current() == '(';
}

}  // namespace tandril
