#include "foundation/PropertyList.hpp"

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "foundation/JSONPropertyList.hpp"
#include "foundation/OpenStepPropertyList.hpp"
#include "foundation/Paths.hpp"

namespace tandril {

namespace {
constexpr const char* kCocoaDomain = "NSCocoaErrorDomain";
constexpr std::int64_t kReadCorruptCode = 3840;     // NSPropertyListReadCorruptError
constexpr std::int64_t kWriteInvalidCode = 3851;    // NSPropertyListWriteInvalidError
constexpr std::int64_t kNoSuchFileCode = 260;       // NSFileReadNoSuchFileError
constexpr std::int64_t kReadUnknownCode = 256;      // NSFileReadUnknownError
constexpr std::int64_t kWriteUnknownCode = 512;     // NSFileWriteUnknownError
constexpr std::int64_t kReadNoPermissionCode = 257;  // NSFileReadNoPermissionError
constexpr int kMaxDepth = PropertyList::kMaxDepth;
// The UTF-8 encoding of U+FEFF, which some editors put in front of a text file.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Property-list dates count from 2001-01-01T00:00:00Z.
constexpr std::int64_t kAppleEpochOffset = 978307200;

void fail(ErrorPtr* error, std::int64_t code, const std::string& message) {
    if (error) *error = Error::withDescription(kCocoaDomain, code, message);
}

std::optional<Value> corrupt(ErrorPtr* error, const std::string& message) {
    fail(error, kReadCorruptCode, "The data couldn\u2019t be read because it isn\u2019t in the correct format: " + message);
    return std::nullopt;
}

// ---- reading through libplist ----------------------------------------------------------

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::optional<Value> fromPlist(plist_t node, int depth, std::string& problem) {
    if (depth > kMaxDepth) {
        problem = "nested too deeply";
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT:
    case PLIST_UID: {
        std::uint64_t n = 0;
        if (plist_get_node_type(node) == PLIST_UID) {
            plist_get_uid_val(node, &n);
        } else {
            plist_get_uint_val(node, &n);
        }
        return Value(static_cast<std::int64_t>(n));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
    }
    case PLIST_STRING: {
        // By pointer and length: plist_get_string_val aborts on a string holding a NUL.
        std::uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        return Value(s ? std::string(s, length) : std::string());
    }
    case PLIST_DATA: {
        char* bytes = nullptr;
        std::uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        Bytes data(reinterpret_cast<std::uint8_t*>(bytes), reinterpret_cast<std::uint8_t*>(bytes) + (bytes ? length : 0));
        std::free(bytes);
        return Value(std::move(data));
    }
    case PLIST_DATE: {
        std::int32_t sec = 0;
        std::int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // libplist keeps whole seconds since 2001 in 32 bits and turns every date outside
        // that range into its lowest value; such a date is refused rather than misread.
        if (sec == INT32_MIN) {
            problem = "date out of range";
            return std::nullopt;
        }
        auto since1970 = std::chrono::seconds(static_cast<std::int64_t>(sec) + kAppleEpochOffset) +
                         std::chrono::microseconds(usec);
        return Value(Date(std::chrono::duration_cast<Date::duration>(since1970)));
    }
    case PLIST_ARRAY: {
        Array array;
        std::uint32_t n = plist_array_get_size(node);
        array.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            plist_t item = plist_array_get_item(node, i);
            if (!item) {
                problem = "missing array element";
                return std::nullopt;
            }
            auto v = fromPlist(item, depth + 1, problem);
            if (!v) return std::nullopt;
            array.push_back(std::move(*v));
        }
        return Value(std::move(array));
    }
    case PLIST_DICT: {
        Dictionary dictionary;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            std::string name = key ? key : "";
            std::free(key);
            auto v = fromPlist(item, depth + 1, problem);
            if (!v) {
                std::free(it);
                return std::nullopt;
            }
            dictionary.insert_or_assign(std::move(name), std::move(*v));
        }
        std::free(it);
        return Value(std::move(dictionary));
    }
    default:
        problem = "unsupported element";
        return std::nullopt;
    }
}

// libplist's XML reader recurses once per level; refuse absurd nesting before it starts.
bool xmlNestingWithinLimit(std::string_view text) {
    int depth = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '<') continue;
        bool closing = text[i + 1] == '/';
        std::size_t nameStart = i + (closing ? 2 : 1);
        bool isArray = text.compare(nameStart, 5, "array") == 0;
        bool isDict = text.compare(nameStart, 4, "dict") == 0;
        if (!isArray && !isDict) continue;
        std::size_t end = text.find('>', nameStart);
        if (end == std::string_view::npos) break;
        if (closing) {
            --depth;
        } else if (text[end - 1] != '/') {
            if (++depth > kMaxDepth) return false;
        }
        i = end;
    }
    return true;
}

// libplist's binary reader recurses once per level, and aborts on some strings. Check the
// object table first, without recursion: refuse nesting beyond kMaxDepth, cycles, and
// UTF-16 strings holding U+0000. Structural damage that libplist detects is left to it.
bool binaryIsSafeToRead(const std::uint8_t* data, std::size_t size) {
    if (size < 8 + 32) return true;
    const std::uint8_t* trailer = data + size - 32;
    auto readBE = [](const std::uint8_t* p, std::size_t n) {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v = v << 8 | p[i];
        return v;
    };
    std::size_t offsetSize = trailer[6];
    std::size_t refSize = trailer[7];
    std::uint64_t count = readBE(trailer + 8, 8);
    std::uint64_t tableOffset = readBE(trailer + 24, 8);
    if (offsetSize == 0 || offsetSize > 8 || refSize == 0 || refSize > 8 || tableOffset >= size ||
        count > (size - tableOffset) / offsetSize) {
        return true;  // not something libplist will walk
    }
    auto offsetOf = [&](std::uint64_t index) { return readBE(data + tableOffset + index * offsetSize, offsetSize); };
    // An object's type (high nibble of its marker), its element count and where its
    // contents start; false when the header runs off the end.
    struct Header {
        std::uint8_t type;
        std::uint64_t count;
        std::uint64_t start;
    };
    auto headerOf = [&](std::uint64_t index, Header& h) {
        std::uint64_t offset = offsetOf(index);
        if (offset >= size) return false;
        h.type = data[offset] >> 4;
        h.count = data[offset] & 0x0F;
        h.start = offset + 1;
        if (h.count == 0x0F) {
            if (h.start >= size || (data[h.start] >> 4) != 0x1) return false;
            std::size_t width = std::size_t{1} << (data[h.start] & 0x0F);
            if (width > 8 || h.start + 1 + width > size) return false;
            h.count = readBE(data + h.start + 1, width);
            h.start += 1 + width;
        }
        return h.count <= size;
    };
    // The references held by object `index`, or none when it is not a collection.
    auto children = [&](std::uint64_t index, std::vector<std::uint64_t>& out) {
        out.clear();
        Header h{};
        if (!headerOf(index, h) || (h.type != 0xA && h.type != 0xC && h.type != 0xD)) return;
        std::uint64_t n = h.type == 0xD ? 2 * h.count : h.count;
        if (h.start + n * refSize > size) return;
        for (std::uint64_t i = 0; i < n; ++i) {
            std::uint64_t ref = readBE(data + h.start + i * refSize, refSize);
            if (ref < count) out.push_back(ref);
        }
    };
    // A UTF-16 string holding U+0000 makes libplist abort when it is read as a key.
    for (std::uint64_t index = 0; index < count; ++index) {
        Header h{};
        if (!headerOf(index, h) || h.type != 0x6 || h.start + 2 * h.count > size) continue;
        for (std::uint64_t i = 0; i < h.count; ++i) {
            if (data[h.start + 2 * i] == 0 && data[h.start + 2 * i + 1] == 0) return false;
        }
    }
    // Longest path by an explicit depth-first walk; 1 = on the current path, 2 = finished.
    std::vector<std::uint8_t> state(count, 0);
    std::vector<int> depth(count, 0);
    struct Frame {
        std::uint64_t index;
        std::vector<std::uint64_t> kids;
        std::size_t next = 0;
    };
    std::vector<Frame> stack;
    std::uint64_t root = readBE(trailer + 16, 8);
    if (root >= count) return true;
    stack.push_back(Frame{root, {}, 0});
    children(root, stack.back().kids);
    state[root] = 1;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next < top.kids.size()) {
            std::uint64_t kid = top.kids[top.next++];
            if (state[kid] == 1) return false;  // a cycle
            if (state[kid] == 2) continue;
            if (stack.size() >= static_cast<std::size_t>(kMaxDepth)) return false;
            state[kid] = 1;
            Frame frame{kid, {}, 0};
            children(kid, frame.kids);
            stack.push_back(std::move(frame));
            continue;
        }
        int deepest = 0;
        for (std::uint64_t kid : top.kids) deepest = std::max(deepest, depth[kid]);
        depth[top.index] = deepest + 1;
        if (depth[top.index] > kMaxDepth) return false;
        state[top.index] = 2;
        stack.pop_back();
    }
    return true;
}

// Neither an XML nor a libplist string can hold U+0000: the text would come back cut
// short. Such a value is refused rather than written damaged.
bool holdsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

bool refuseNul(std::string& problem) {
    problem = "a text holding a NUL character cannot be written";
    return false;
}

// ---- XML, written as the platform writes it ---------------------------------------------

void appendIndent(std::string& out, int level) { out.append(static_cast<std::size_t>(level), '\t'); }

void appendEscaped(std::string& out, const std::string& s) {
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out.push_back(c);
        }
    }
}

// Base64 in lines of at most 76 characters, indentation (8 columns a tab, at most 8 tabs)
// counting against the line length.
void appendBase64(std::string& out, const Bytes& data, int level) {
    static constexpr char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    int indent = level > 8 ? 8 : level;
    std::size_t lineLimit = static_cast<std::size_t>(76 - 8 * indent);
    std::string line;
    auto flush = [&] {
        appendIndent(out, indent);
        out += line;
        out.push_back('\n');
        line.clear();
    };
    std::size_t i = 0;
    for (; i < data.size(); ++i) {
        const std::uint8_t* p = data.data() + i;
        switch (i % 3) {
        case 0: line.push_back(kTable[(p[0] >> 2) & 0x3f]); break;
        case 1: line.push_back(kTable[(((p[-1] << 8) | p[0]) >> 4) & 0x3f]); break;
        case 2:
            line.push_back(kTable[(((p[-1] << 8) | p[0]) >> 6) & 0x3f]);
            line.push_back(kTable[p[0] & 0x3f]);
            break;
        }
        if (line.size() >= lineLimit) flush();
    }
    if (i % 3 == 1) {
        line.push_back(kTable[(data[i - 1] << 4) & 0x30]);
        line += "==";
    } else if (i % 3 == 2) {
        line.push_back(kTable[(data[i - 1] << 2) & 0x3c]);
        line += "=";
    }
    if (!line.empty()) flush();
}

std::string xmlReal(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", d);
    return buffer;
}

// Whether libplist can read the date back: whole seconds since 2001 in 32 bits, its lowest
// value excepted (every date out of range reads as that).
bool dateWithinRange(const Date& date) {
    const auto sinceReference =
        std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count() - kAppleEpochOffset;
    return sinceReference > INT32_MIN && sinceReference <= INT32_MAX;
}

std::string xmlDate(const Date& date) {
    auto secs = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
    std::time_t t = static_cast<std::time_t>(secs);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return buffer;
}

bool writeXML(const Value& value, std::string& out, int level, std::string& problem) {
    if (level > kMaxDepth) {
        problem = "nested too deeply";
        return false;
    }
    appendIndent(out, level);
    switch (value.type()) {
    case Value::Type::Null: problem = "a null value has no property-list form"; return false;
    case Value::Type::String:
        if (holdsNul(*value.asString())) return refuseNul(problem);
        out += "<string>";
        appendEscaped(out, *value.asString());
        out += "</string>\n";
        return true;
    case Value::Type::Integer: out += "<integer>" + std::to_string(*value.asInteger()) + "</integer>\n"; return true;
    case Value::Type::Real: out += "<real>" + xmlReal(*value.asReal()) + "</real>\n"; return true;
    case Value::Type::Boolean: out += *value.asBoolean() ? "<true/>\n" : "<false/>\n"; return true;
    case Value::Type::Data:
        out += "<data>\n";
        appendBase64(out, *value.asData(), level);
        appendIndent(out, level);
        out += "</data>\n";
        return true;
    case Value::Type::Date:
        if (!dateWithinRange(*value.asDate())) {
            problem = "date out of range for a property list";
            return false;
        }
        out += "<date>" + xmlDate(*value.asDate()) + "</date>\n";
        return true;
    case Value::Type::Array: {
        const Array& array = *value.asArray();
        if (array.empty()) {
            out += "<array/>\n";
            return true;
        }
        out += "<array>\n";
        for (const Value& item : array) {
            if (!writeXML(item, out, level + 1, problem)) return false;
        }
        appendIndent(out, level);
        out += "</array>\n";
        return true;
    }
    case Value::Type::Dictionary: {
        const Dictionary& dictionary = *value.asDictionary();
        if (dictionary.empty()) {
            out += "<dict/>\n";
            return true;
        }
        out += "<dict>\n";
        for (const auto& [key, item] : dictionary) {
            if (holdsNul(key)) return refuseNul(problem);
            appendIndent(out, level + 1);
            out += "<key>";
            appendEscaped(out, key);
            out += "</key>\n";
            if (!writeXML(item, out, level + 1, problem)) return false;
        }
        appendIndent(out, level);
        out += "</dict>\n";
        return true;
    }
    }
    return false;
}

// ---- binary, through libplist ----------------------------------------------------------

plist_t toPlist(const Value& value, int depth, std::string& problem) {
    if (depth > kMaxDepth) {
        problem = "nested too deeply";
        return nullptr;
    }
    switch (value.type()) {
    case Value::Type::Null: problem = "a null value has no property-list form"; return nullptr;
    case Value::Type::String:
        if (holdsNul(*value.asString())) {
            refuseNul(problem);
            return nullptr;
        }
        return plist_new_string(value.asString()->c_str());
    case Value::Type::Integer: return plist_new_uint(static_cast<std::uint64_t>(*value.asInteger()));
    case Value::Type::Real: return plist_new_real(*value.asReal());
    case Value::Type::Boolean: return plist_new_bool(*value.asBoolean() ? 1 : 0);
    case Value::Type::Data: {
        const Bytes& data = *value.asData();
        return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
    }
    case Value::Type::Date: {
        auto micros = std::chrono::duration_cast<std::chrono::microseconds>(value.asDate()->time_since_epoch()).count();
        std::int64_t sinceEpoch = micros - kAppleEpochOffset * 1000000;
        std::int64_t sec = sinceEpoch >= 0 ? sinceEpoch / 1000000 : -((-sinceEpoch + 999999) / 1000000);
        std::int64_t usec = sinceEpoch - sec * 1000000;
        if (!dateWithinRange(*value.asDate())) {
            problem = "date out of range for a binary property list";
            return nullptr;
        }
        return plist_new_date(static_cast<std::int32_t>(sec), static_cast<std::int32_t>(usec));
    }
    case Value::Type::Array: {
        PlistPtr array(plist_new_array());
        for (const Value& item : *value.asArray()) {
            plist_t child = toPlist(item, depth + 1, problem);
            if (!child) return nullptr;
            plist_array_append_item(static_cast<plist_t>(array.get()), child);
        }
        return static_cast<plist_t>(array.release());
    }
    case Value::Type::Dictionary: {
        PlistPtr dictionary(plist_new_dict());
        for (const auto& [key, item] : *value.asDictionary()) {
            if (holdsNul(key)) {
                refuseNul(problem);
                return nullptr;
            }
            plist_t child = toPlist(item, depth + 1, problem);
            if (!child) return nullptr;
            plist_dict_set_item(static_cast<plist_t>(dictionary.get()), key.c_str(), child);
        }
        return static_cast<plist_t>(dictionary.release());
    }
    }
    return nullptr;
}
}  // namespace

std::optional<Value> PropertyList::parse(const Bytes& data, ErrorPtr* error) {
    if (data.empty()) return corrupt(error, "no data");
    if (data.size() > UINT32_MAX) return corrupt(error, "too large");
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());

    plist_t root = nullptr;
    if (text.substr(0, 6) == "bplist") {
        if (!binaryIsSafeToRead(data.data(), data.size())) {
            return corrupt(error, "nested too deeply, cyclic, or a string holds a NUL character");
        }
        plist_from_bin(text.data(), static_cast<std::uint32_t>(text.size()), &root);
        if (!root) return corrupt(error, "malformed binary property list");
    } else {
        // A text form may start with a byte-order mark; no parser is handed it.
        if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
        std::size_t start = 0;
        while (start < text.size() && (text[start] == ' ' || text[start] == '\t' || text[start] == '\n' || text[start] == '\r')) {
            ++start;
        }
        if (start == text.size()) return corrupt(error, "no data");
        std::string problem;
        if (text[start] == '<') {
            if (!xmlNestingWithinLimit(text)) return corrupt(error, "nested too deeply");
            plist_from_xml(text.data(), static_cast<std::uint32_t>(text.size()), &root);
            if (!root) return corrupt(error, "malformed XML property list");
        } else if (OpenStepPropertyList::looksLikeOpenStep(text.substr(start))) {
            auto value = OpenStepPropertyList::parse(text.substr(start), problem);
            if (!value) return corrupt(error, "malformed old-style property list: " + problem);
            return value;
        } else {
            auto value = JSONPropertyList::parse(text.substr(start), problem);
            if (value) return value;
            // "{" opens both JSON and the old form: a dictionary that is not JSON gets a
            // second reading.
            std::string openStepProblem;
            if (text[start] == '{') {
                value = OpenStepPropertyList::parse(text.substr(start), openStepProblem);
                if (value) return value;
                return corrupt(error, "malformed JSON: " + problem + "; as an old-style property list: " + openStepProblem);
            }
            return corrupt(error, "malformed JSON: " + problem);
        }
    }
    PlistPtr owner(root);
    std::string problem;
    auto value = fromPlist(root, 0, problem);
    if (!value) return corrupt(error, problem);
    return value;
}

std::optional<Value> PropertyList::readFile(const std::string& path, ErrorPtr* error) {
    int number = 0;
    auto contents = Paths::readFile(path, &number);
    if (!contents) {
        const std::string file = "The file \u201c" + path + "\u201d";
        if (number == ENOENT) {
            fail(error, kNoSuchFileCode, file + " couldn\u2019t be opened because there is no such file.");
        } else {
            fail(error, number == EACCES ? kReadNoPermissionCode : kReadUnknownCode,
                 file + " couldn\u2019t be opened: " + Paths::errorText(number) + ".");
        }
        return std::nullopt;
    }
    return parse(bytesFromString(*contents), error);
}

std::optional<Bytes> PropertyList::serialize(const Value& value, Format format, ErrorPtr* error) {
    std::string problem;
    switch (format) {
    case Format::XML: {
        std::string out =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n";
        if (!writeXML(value, out, 0, problem)) break;
        out += "</plist>\n";
        return bytesFromString(out);
    }
    case Format::JSON: {
        auto out = JSONPropertyList::serialize(value, problem);
        if (!out) break;
        return bytesFromString(*out);
    }
    case Format::Binary: {
        plist_t root = toPlist(value, 0, problem);
        if (!root) break;
        PlistPtr owner(root);
        char* bytes = nullptr;
        std::uint32_t length = 0;
        plist_to_bin(root, &bytes, &length);
        if (!bytes) {
            problem = "the binary writer failed";
            break;
        }
        Bytes out(reinterpret_cast<std::uint8_t*>(bytes), reinterpret_cast<std::uint8_t*>(bytes) + length);
        plist_to_bin_free(bytes);
        return out;
    }
    }
    fail(error, kWriteInvalidCode, "The property list could not be written: " + problem);
    return std::nullopt;
}

bool PropertyList::writeFile(const Value& value, const std::string& path, Format format, ErrorPtr* error) {
    auto bytes = serialize(value, format, error);
    if (!bytes) return false;
    int number = 0;
    if (!Paths::writeFileAtomically(path, stringFromBytes(*bytes), Paths::syncWrites(), &number)) {
        fail(error, kWriteUnknownCode,
             "The file \u201c" + path + "\u201d couldn\u2019t be saved: " + Paths::errorText(number) + ".");
        return false;
    }
    return true;
}

}  // namespace tandril
