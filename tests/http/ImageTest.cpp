#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <stb/stb_image_write.h>

#include "http/Image.hpp"
#include "support/TempDir.hpp"

namespace tandril {
namespace {

void appendTo(void* context, void* data, int size) {
    auto* out = static_cast<Bytes*>(context);
    out->insert(out->end(), static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
}

Bytes pixelsOf(std::initializer_list<std::uint8_t> values) { return Bytes(values); }

// 3 x 2 pixels, each a different colour and opacity.
std::shared_ptr<Image> sample() {
    return Image::create(3, 2, pixelsOf({255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255,  //
                                         10, 20, 30, 0, 40, 50, 60, 128, 255, 255, 255, 255}));
}

TEST(Image, PNGRoundTripKeepsEveryPixel) {
    const auto image = sample();
    ASSERT_TRUE(image);
    const std::optional<Bytes> png = image->PNGRepresentation();
    ASSERT_TRUE(png);
    ASSERT_GE(png->size(), 8u);
    EXPECT_EQ(Bytes(png->begin(), png->begin() + 8), pixelsOf({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    const auto decoded = Image::decode(*png);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width(), 3);
    EXPECT_EQ(decoded->height(), 2);
    EXPECT_EQ(decoded->pixels(), image->pixels());
}

TEST(Image, DecodesJPEGBMPAndGIF) {
    Bytes rgb;
    for (int i = 0; i < 16 * 8; ++i) {
        rgb.insert(rgb.end(), {200, 40, 90});
    }
    Bytes jpeg;
    ASSERT_TRUE(stbi_write_jpg_to_func(appendTo, &jpeg, 16, 8, 3, rgb.data(), 95));
    const auto fromJPEG = Image::decode(jpeg);
    ASSERT_TRUE(fromJPEG);
    EXPECT_EQ(fromJPEG->width(), 16);
    EXPECT_EQ(fromJPEG->height(), 8);
    EXPECT_NEAR(fromJPEG->pixels()[0], 200, 4);
    EXPECT_NEAR(fromJPEG->pixels()[1], 40, 4);
    EXPECT_NEAR(fromJPEG->pixels()[2], 90, 4);
    EXPECT_EQ(fromJPEG->pixels()[3], 255);

    Bytes bmp;
    const Bytes twoPixels = pixelsOf({1, 2, 3, 250, 251, 252});
    ASSERT_TRUE(stbi_write_bmp_to_func(appendTo, &bmp, 2, 1, 3, twoPixels.data()));
    const auto fromBMP = Image::decode(bmp);
    ASSERT_TRUE(fromBMP);
    EXPECT_EQ(fromBMP->pixels(), pixelsOf({1, 2, 3, 255, 250, 251, 252, 255}));

    // A 2 x 1 GIF with a red and a blue pixel, written out by hand.
    const Bytes gif = pixelsOf({'G', 'I', 'F', '8', '9', 'a', 2, 0, 1, 0, 0x80, 0, 0,   // header, screen
                                0xFF, 0, 0, 0, 0, 0xFF,                                   // palette
                                0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0,                          // image descriptor
                                2, 2, 0x44, 0x0A, 0, 0x3B});                              // LZW data, trailer
    const auto fromGIF = Image::decode(gif);
    ASSERT_TRUE(fromGIF);
    EXPECT_EQ(fromGIF->pixels(), pixelsOf({255, 0, 0, 255, 0, 0, 255, 255}));
}

TEST(Image, RefusesWhatIsNoImageOrTooLarge) {
    EXPECT_FALSE(Image::decode({}));
    EXPECT_FALSE(Image::decode(bytesFromString("<html>not an image</html>")));
    const Bytes png = *sample()->PNGRepresentation();
    EXPECT_FALSE(Image::decode(Bytes(png.begin(), png.begin() + static_cast<long>(png.size() / 2))));

    // A well-formed PNG wider than the icon limit.
    const int wide = Image::kMaxDimension + 1;
    const Bytes row(static_cast<std::size_t>(wide) * 4, 7);
    Bytes widePNG;
    ASSERT_TRUE(stbi_write_png_to_func(appendTo, &widePNG, wide, 1, 4, row.data(), wide * 4));
    EXPECT_FALSE(Image::decode(widePNG));

    EXPECT_FALSE(Image::create(2, 2, Bytes(15)));
    EXPECT_FALSE(Image::create(0, 0, {}));
    EXPECT_FALSE(Image::create(wide, 1, row));
}

TEST(Image, ReadsFiles) {
    test::TempDir dir;
    EXPECT_FALSE(Image::imageWithContentsOfFile(dir.file("missing.png")));
    const Bytes png = *sample()->PNGRepresentation();
    std::ofstream(dir.file("icon.png"), std::ios::binary).write(reinterpret_cast<const char*>(png.data()),
                                                                static_cast<std::streamsize>(png.size()));
    const auto image = Image::imageWithContentsOfFile(dir.file("icon.png"));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixels(), sample()->pixels());
    EXPECT_FALSE(Image::imageWithContentsOfFile(dir.path()));
}

}  // namespace
}  // namespace tandril
