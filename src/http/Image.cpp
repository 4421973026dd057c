#include "http/Image.hpp"

#include <climits>
#include <fstream>

// The one place that compiles the stb decoder and encoder. Only the formats the catalogue
// needs are built in; nothing touches files through stdio.
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_GIF
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STBI_NO_FAILURE_STRINGS
#define STBI_MAX_DIMENSIONS 4096
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

namespace tandril {

static_assert(STBI_MAX_DIMENSIONS == Image::kMaxDimension);

namespace {

bool sizeAllowed(int width, int height) {
    return width > 0 && height > 0 && width <= Image::kMaxDimension && height <= Image::kMaxDimension &&
           static_cast<std::size_t>(width) * static_cast<std::size_t>(height) <= Image::kMaxPixels;
}

void appendToBytes(void* context, void* data, int size) {
    auto* out = static_cast<Bytes*>(context);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

std::shared_ptr<Image> Image::create(int width, int height, Bytes rgba) {
    if (!sizeAllowed(width, height) ||
        rgba.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        return nullptr;
    }
    return std::shared_ptr<Image>(new Image(width, height, std::move(rgba)));
}

std::shared_ptr<Image> Image::decode(const Bytes& data) {
    if (data.empty() || data.size() > static_cast<std::size_t>(INT_MAX)) {
        return nullptr;
    }
    const int length = static_cast<int>(data.size());
    int width = 0;
    int height = 0;
    int channels = 0;
    if (!stbi_info_from_memory(data.data(), length, &width, &height, &channels) || !sizeAllowed(width, height)) {
        return nullptr;
    }
    stbi_uc* decoded = stbi_load_from_memory(data.data(), length, &width, &height, &channels, 4);
    if (decoded == nullptr) {
        return nullptr;
    }
    std::shared_ptr<Image> image;
    if (sizeAllowed(width, height)) {
        const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
        image = create(width, height, Bytes(decoded, decoded + size));
    }
    stbi_image_free(decoded);
    return image;
}

std::shared_ptr<Image> Image::imageWithContentsOfFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        return nullptr;
    }
    const std::streamoff size = file.tellg();
    if (size <= 0 || static_cast<std::size_t>(size) > kMaxFileBytes) {
        return nullptr;
    }
    Bytes data(static_cast<std::size_t>(size));
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(data.data()), size)) {
        return nullptr;
    }
    return decode(data);
}

std::optional<Bytes> Image::PNGRepresentation() const {
    Bytes out;
    if (!stbi_write_png_to_func(appendToBytes, &out, width_, height_, 4, pixels_.data(), width_ * 4)) {
        return std::nullopt;
    }
    return out;
}

std::string Image::description() const {
    return defaultDescription() + " " + std::to_string(width_) + "x" + std::to_string(height_);
}

}  // namespace tandril
