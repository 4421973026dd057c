#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/Bytes.hpp"
#include "foundation/Object.hpp"

namespace tandril {

// A bitmap image: width x height pixels of 8-bit RGBA (not premultiplied), rows top to
// bottom. Decodes PNG, JPEG (baseline and progressive), GIF (first frame) and BMP; encodes PNG.
// Immutable once made, so one image may be shared between threads.
class Image : public Object {
public:
    // Icons are small; these bounds keep a hostile file from making a huge bitmap.
    static constexpr int kMaxDimension = 4096;
    static constexpr std::size_t kMaxPixels = 4096u * 4096u;
    // The largest file that imageWithContentsOfFile reads.
    static constexpr std::size_t kMaxFileBytes = 16u * 1024u * 1024u;

    // nullptr unless 0 < width, height <= kMaxDimension and rgba holds width*height*4 bytes.
    static std::shared_ptr<Image> create(int width, int height, Bytes rgba);
    // nullptr when the data is no image of a supported format, or too large.
    static std::shared_ptr<Image> decode(const Bytes& data);
    // nullptr when the file cannot be read or decoded.
    static std::shared_ptr<Image> imageWithContentsOfFile(const std::string& path);

    int width() const { return width_; }
    int height() const { return height_; }
    const Bytes& pixels() const { return pixels_; }

    // The image as a PNG file (default encoder settings); nullopt when encoding fails.
    std::optional<Bytes> PNGRepresentation() const;

    // "<Image: 0x...> 60x60"
    std::string description() const override;

private:
    Image(int width, int height, Bytes rgba) : width_(width), height_(height), pixels_(std::move(rgba)) {}

    int width_;
    int height_;
    Bytes pixels_;
};

}  // namespace tandril
