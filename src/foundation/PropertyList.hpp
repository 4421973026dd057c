#pragma once

#include <optional>
#include <string>

#include "foundation/Bytes.hpp"
#include "foundation/Error.hpp"
#include "foundation/Value.hpp"

namespace tandril {

// Property-list files: XML and binary through libplist (XML written by our own writer),
// JSON through nlohmann-json, the old OpenStep text form read by a reader of our own.
class PropertyList {
public:
    enum class Format { XML, Binary, JSON };

    // Deeper nesting is refused, in every form, rather than risking the stack.
    static constexpr int kMaxDepth = 512;

    // Parses any encoding (XML, binary, JSON, the old OpenStep text form; a UTF-8
    // byte-order mark in front of a text form is skipped); nullopt and an
    // NSCocoaErrorDomain 3840 error on malformed input.
    static std::optional<Value> parse(const Bytes& data, ErrorPtr* error = nullptr);
    // Errors: 260 for a missing file, 257 (no permission) or 256 with the system's error
    // text for a file that cannot be read, 3840 for one that cannot be parsed.
    static std::optional<Value> readFile(const std::string& path, ErrorPtr* error = nullptr);

    // Serializes as the platform does. XML: the Apple DOCTYPE header, tab indentation,
    // a trailing newline. A null value cannot be written.
    static std::optional<Bytes> serialize(const Value& value, Format format, ErrorPtr* error = nullptr);
    // Writes aside and renames over `path`, so a crash never leaves a truncated file.
    static bool writeFile(const Value& value, const std::string& path, Format format = Format::XML,
                          ErrorPtr* error = nullptr);
};

}  // namespace tandril
