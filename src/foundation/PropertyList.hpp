#pragma once

#include <optional>
#include <string>

#include "foundation/Bytes.hpp"
#include "foundation/Error.hpp"
#include "foundation/Value.hpp"

namespace tandril {

// Property-list files, through libplist.
class PropertyList {
public:
    enum class Format { XML, Binary, JSON };

    // Parses any encoding (XML, binary, JSON); nullopt and an error on malformed input.
    static std::optional<Value> parse(const Bytes& data, ErrorPtr* error = nullptr);
    static std::optional<Value> readFile(const std::string& path, ErrorPtr* error = nullptr);

    // Serializes as the platform does. XML: the Apple DOCTYPE header, tab indentation,
    // a trailing newline. A null value cannot be written.
    static std::optional<Bytes> serialize(const Value& value, Format format, ErrorPtr* error = nullptr);
    // Writes aside and renames over `path`, so a crash never leaves a truncated file.
    static bool writeFile(const Value& value, const std::string& path, Format format = Format::XML,
                          ErrorPtr* error = nullptr);
};

}  // namespace tandril
