#include "foundation/PropertyList.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "foundation/Paths.hpp"
#include "support/TempDir.hpp"

namespace tandril {
namespace {

// An application catalogue as the platform writes it: an array of dictionaries of strings.
const char* const kCatalogue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n"
    "<array>\n"
    "\t<dict>\n"
    "\t\t<key>bundleIdentifier</key>\n"
    "\t\t<string>com.apple.MobileSMS</string>\n"
    "\t\t<key>displayName</key>\n"
    "\t\t<string>Messages &amp; more &lt;beta&gt;</string>\n"
    "\t\t<key>enabled</key>\n"
    "\t\t<string>1</string>\n"
    "\t</dict>\n"
    "\t<dict>\n"
    "\t\t<key>bundleIdentifier</key>\n"
    "\t\t<string>com.apple.mobilemail</string>\n"
    "\t\t<key>displayName</key>\n"
    "\t\t<string>Mail</string>\n"
    "\t\t<key>enabled</key>\n"
    "\t\t<string>0</string>\n"
    "\t</dict>\n"
    "</array>\n"
    "</plist>\n";

// A binary property list of `n` arrays, each holding the next; `last` is what the
// innermost one refers to (n for an empty array, or an earlier index for a cycle).
Bytes nestedBinary(std::uint32_t n, std::uint32_t last) {
    Bytes out = bytesFromString("bplist00");
    auto put32 = [&](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
    };
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 0; i < n; ++i) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        std::uint32_t next = i + 1 < n ? i + 1 : last;
        if (next >= n) {
            out.push_back(0xA0);
        } else {
            out.push_back(0xA1);
            put32(next);
        }
    }
    auto table = static_cast<std::uint32_t>(out.size());
    for (std::uint32_t o : offsets) put32(o);
    out.insert(out.end(), 6, 0);
    out.push_back(4);  // offset size
    out.push_back(4);  // reference size
    for (std::uint64_t v : {std::uint64_t{n}, std::uint64_t{0}, std::uint64_t{table}}) {
        for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    return out;
}

std::string xmlOf(const Value& v) {
    auto bytes = PropertyList::serialize(v, PropertyList::Format::XML);
    return bytes ? stringFromBytes(*bytes) : "<failed>";
}

TEST(PropertyListTest, XMLRoundTripIsByteExact) {
    ErrorPtr error;
    auto value = PropertyList::parse(bytesFromString(kCatalogue), &error);
    ASSERT_TRUE(value) << (error ? error->description() : "");
    EXPECT_EQ(value->at(0)["displayName"], Value("Messages & more <beta>"));
    EXPECT_EQ(value->at(1)["enabled"], Value("0"));
    EXPECT_EQ(xmlOf(*value), kCatalogue);
}

TEST(PropertyListTest, XMLOfEveryType) {
    Value v = Dictionary{
        {"array", Array{}},
        {"bool", false},
        {"data", Bytes{0, 1, 2, 3}},
        {"date", Date(std::chrono::seconds(978307200))},
        {"dict", Dictionary{}},
        {"int", -7},
        {"real", 0.5},
        {"yes", true},
    };
    EXPECT_EQ(xmlOf(v),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n"
              "<dict>\n"
              "\t<key>array</key>\n"
              "\t<array/>\n"
              "\t<key>bool</key>\n"
              "\t<false/>\n"
              "\t<key>data</key>\n"
              "\t<data>\n"
              "\tAAECAw==\n"
              "\t</data>\n"
              "\t<key>date</key>\n"
              "\t<date>2001-01-01T00:00:00Z</date>\n"
              "\t<key>dict</key>\n"
              "\t<dict/>\n"
              "\t<key>int</key>\n"
              "\t<integer>-7</integer>\n"
              "\t<key>real</key>\n"
              "\t<real>0.5</real>\n"
              "\t<key>yes</key>\n"
              "\t<true/>\n"
              "</dict>\n"
              "</plist>\n");
    EXPECT_EQ(xmlOf(Array{}).substr(xmlOf(Array{}).find("<plist")), "<plist version=\"1.0\">\n<array/>\n</plist>\n");
    // Every type survives a round trip through XML and binary.
    for (auto format : {PropertyList::Format::XML, PropertyList::Format::Binary}) {
        auto bytes = PropertyList::serialize(v, format);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(PropertyList::parse(*bytes), v);
    }
}

TEST(PropertyListTest, LongDataWrapsAtTheLineLimit) {
    Bytes data(100, 0xAB);
    std::string xml = xmlOf(Array{Value(data)});
    // One tab of indentation leaves 68 characters a line.
    std::string firstLine = "\t" + std::string(68, 'q');
    auto start = xml.find("<data>\n") + 7;
    auto end = xml.find('\n', start);
    EXPECT_EQ(end - start, firstLine.size()) << xml;
    EXPECT_EQ(PropertyList::parse(bytesFromString(xml))->at(0), Value(data));
}

TEST(PropertyListTest, ReadsBinaryAndJSON) {
    Value v = Array{Dictionary{{"bundleIdentifier", "com.apple.MobileSMS"}, {"n", 3}, {"x", 1.25}, {"on", true}}};
    auto binary = PropertyList::serialize(v, PropertyList::Format::Binary);
    ASSERT_TRUE(binary);
    EXPECT_EQ(stringFromBytes(Bytes(binary->begin(), binary->begin() + 8)), "bplist00");
    EXPECT_EQ(PropertyList::parse(*binary), v);

    auto json = PropertyList::parse(bytesFromString(
        " [ {\"bundleIdentifier\": \"com.apple.MobileSMS\", \"n\": 3, \"x\": 1.25, \"on\": true} ] "));
    EXPECT_EQ(json, v);
    EXPECT_EQ(PropertyList::parse(bytesFromString(R"({"s":"caf\u00e9 \ud83d\ude00\n"})"))->operator[]("s"),
              Value("caf\xC3\xA9 \xF0\x9F\x98\x80\n"));
    auto written = PropertyList::serialize(v, PropertyList::Format::JSON);
    ASSERT_TRUE(written);
    EXPECT_EQ(PropertyList::parse(*written), v);
}

TEST(PropertyListTest, AByteOrderMarkInFrontOfTextIsSkipped) {
    const std::string mark = "\xEF\xBB\xBF";
    ErrorPtr error;
    auto xml = PropertyList::parse(bytesFromString(mark + kCatalogue), &error);
    ASSERT_TRUE(xml) << (error ? error->description() : "");
    EXPECT_EQ(xml, PropertyList::parse(bytesFromString(kCatalogue)));
    EXPECT_EQ(PropertyList::parse(bytesFromString(mark + "\n[{\"enabled\": \"1\"}]")),
              Value(Array{Dictionary{{"enabled", "1"}}}));
    EXPECT_FALSE(PropertyList::parse(bytesFromString(mark)));
}

TEST(PropertyListTest, JSONKeepsItsLimits) {
    // Nesting: a value may sit 512 containers deep, not 513.
    auto nested = [](int levels) {
        return std::string(static_cast<std::size_t>(levels), '[') + "1" + std::string(static_cast<std::size_t>(levels), ']');
    };
    EXPECT_TRUE(PropertyList::parse(bytesFromString(nested(PropertyList::kMaxDepth))));
    EXPECT_FALSE(PropertyList::parse(bytesFromString(nested(PropertyList::kMaxDepth + 1))));
    // Integers stay integers while they fit 64 bits; everything else is a real.
    auto numbers = PropertyList::parse(bytesFromString(
        "[9223372036854775807, -9223372036854775808, 9223372036854775808, 1.0, 2e3, 18446744073709551616]"));
    ASSERT_TRUE(numbers);
    EXPECT_TRUE(numbers->at(0).isInteger());
    EXPECT_EQ(numbers->at(0).asInteger(), INT64_MAX);
    EXPECT_EQ(numbers->at(1).asInteger(), INT64_MIN);
    for (std::size_t i = 2; i < 6; ++i) EXPECT_TRUE(numbers->at(i).isReal()) << i;
    // Reals are written as reals and read back as reals.
    auto written = PropertyList::serialize(Value(Array{2.0, 3}), PropertyList::Format::JSON);
    ASSERT_TRUE(written);
    EXPECT_EQ(stringFromBytes(*written), "[2.0,3]");
    // Text that is not valid UTF-8 is refused both ways, without an exception.
    ErrorPtr error;
    EXPECT_FALSE(PropertyList::parse(bytesFromString("[\"\xC3\x28\"]"), &error));
    EXPECT_EQ(error->code(), 3840);
    EXPECT_FALSE(PropertyList::serialize(Value(Array{"\xFF"}), PropertyList::Format::JSON, &error));
    EXPECT_EQ(error->code(), 3851);
    EXPECT_FALSE(PropertyList::serialize(Value(Array{std::nan("")}), PropertyList::Format::JSON, &error));
}

TEST(PropertyListTest, MalformedInputGivesAnErrorNotACrash) {
    std::string deep(5000, '[');
    std::string deepXML = "<plist>";
    for (int i = 0; i < 100000; ++i) deepXML += "<array>";
    for (const std::string& bad :
         {std::string(), std::string("garbage"), std::string("<plist><array><string>x</array></plist>"),
          std::string("bplist00\x01\x02"), std::string("bplist00") + std::string(40, '\xff'), std::string("{\"a\":}"),
          std::string("[1,]"), std::string("{\"a\":null}"), std::string("\"unterminated"), std::string("[1] 2"),
          std::string("[\"\\ud800\"]"), std::string("[1e999999]"), deep, deepXML}) {
        ErrorPtr error;
        EXPECT_FALSE(PropertyList::parse(bytesFromString(bad), &error)) << bad.substr(0, 40);
        ASSERT_TRUE(error) << bad.substr(0, 40);
        EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
        EXPECT_EQ(error->code(), 3840);
    }
}

TEST(PropertyListTest, DamagedFilesNeverCrashTheReader) {
    Value sample = Dictionary{{"a", Array{"b", 1, 2.0, Bytes{1, 2, 3}, true}}, {"d", Date(std::chrono::seconds(1))}};
    std::vector<Bytes> originals;
    for (auto format : {PropertyList::Format::XML, PropertyList::Format::Binary, PropertyList::Format::JSON}) {
        originals.push_back(*PropertyList::serialize(format == PropertyList::Format::JSON ? Value(Array{"b", 1, 2.5}) : sample, format));
    }
    std::uint32_t seed = 12345;
    auto random = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (const Bytes& original : originals) {
        for (std::size_t n = 0; n < original.size(); ++n) {  // cut anywhere
            PropertyList::parse(Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(n)));
        }
        for (int round = 0; round < 2000; ++round) {  // a few bytes changed
            Bytes damaged = original;
            for (int k = 0, changes = 1 + static_cast<int>(random() % 4); k < changes; ++k) {
                damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
            }
            ErrorPtr error;
            auto value = PropertyList::parse(damaged, &error);
            EXPECT_TRUE(value.has_value() != static_cast<bool>(error));
        }
    }
}

TEST(PropertyListTest, BinaryNestingIsBoundedAndCyclesRefused) {
    auto shallow = PropertyList::parse(nestedBinary(3, 3));
    ASSERT_TRUE(shallow);
    EXPECT_EQ(*shallow, Value(Array{Array{Array{}}}));
    for (const Bytes& bad : {nestedBinary(200000, 200000), nestedBinary(3, 0)}) {
        ErrorPtr error;
        EXPECT_FALSE(PropertyList::parse(bad, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), 3840);
    }
}

TEST(PropertyListTest, NULCharactersNeverAbortTheReader) {
    // libplist aborts when asked for a string that holds a NUL; the reader steers clear.
    std::string xml = "<plist><dict><key>k</key><string>x";
    xml += '\0';
    xml += "y</string></dict></plist>";
    EXPECT_TRUE(PropertyList::parse(bytesFromString(xml)));

    // A binary dictionary whose key is the UTF-16 string "a\0".
    Bytes binary = bytesFromString("bplist00");
    Bytes objects = {0xD1, 0x01, 0x02, 0x62, 0x00, 'a', 0x00, 0x00, 0x51, 'v'};
    binary.insert(binary.end(), objects.begin(), objects.end());
    for (std::uint8_t offset : {8, 11, 16}) binary.push_back(offset);
    binary.insert(binary.end(), 6, 0);
    binary.push_back(1);
    binary.push_back(1);
    for (std::uint64_t v : {std::uint64_t{3}, std::uint64_t{0}, std::uint64_t{18}}) {
        for (int shift = 56; shift >= 0; shift -= 8) binary.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    ErrorPtr error;
    EXPECT_FALSE(PropertyList::parse(binary, &error));
    EXPECT_TRUE(error);
    binary[15] = 'b';  // the same file without the NUL reads fine
    EXPECT_EQ(PropertyList::parse(binary), Value(Dictionary{{"ab", "v"}}));
}

TEST(PropertyListTest, NullCannotBeWritten) {
    for (auto format : {PropertyList::Format::XML, PropertyList::Format::Binary, PropertyList::Format::JSON}) {
        ErrorPtr error;
        EXPECT_FALSE(PropertyList::serialize(Value(Array{1, Value()}), format, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), 3851);
    }
    ErrorPtr error;
    EXPECT_FALSE(PropertyList::serialize(Value(Bytes{1}), PropertyList::Format::JSON, &error));
}

TEST(PropertyListTest, DatesOutsideWhatCanBeReadBackAreRefused) {
    // Seconds since 2001 are kept in 32 bits: 1932-12-13T20:45:53Z to 2069-01-19T03:14:07Z.
    const std::string head = "<plist><date>";
    for (const char* date : {"1932-12-13T20:45:53Z", "2069-01-19T03:14:07Z"}) {
        auto value = PropertyList::parse(bytesFromString(head + date + "</date></plist>"));
        ASSERT_TRUE(value) << date;
        for (auto format : {PropertyList::Format::XML, PropertyList::Format::Binary}) {
            EXPECT_EQ(PropertyList::parse(*PropertyList::serialize(*value, format)), value) << date;
        }
    }
    // libplist reads every later or earlier date as the lowest one; that is refused, not misread.
    for (const char* date : {"2100-01-01T00:00:00Z", "1901-01-01T00:00:00Z", "1932-12-13T20:45:52Z"}) {
        ErrorPtr error;
        EXPECT_FALSE(PropertyList::parse(bytesFromString(head + date + "</date></plist>"), &error)) << date;
        EXPECT_EQ(error->code(), 3840);
    }
    const Value late(Date(std::chrono::seconds(4102444800)));  // 2100-01-01
    for (auto format : {PropertyList::Format::XML, PropertyList::Format::Binary}) {
        ErrorPtr error;
        EXPECT_FALSE(PropertyList::serialize(Value(Array{late}), format, &error));
        EXPECT_EQ(error->code(), 3851);
    }
}

TEST(PropertyListTest, TextHoldingNULIsRefusedRatherThanWrittenCutShort) {
    // Read from JSON or the old form, such a text would otherwise come back as "a".
    const std::string text("a\0b", 3);
    for (const Value& value : {Value(Array{Value(text)}), Value(Dictionary{{text, Value("v")}})}) {
        for (auto format : {PropertyList::Format::XML, PropertyList::Format::Binary}) {
            ErrorPtr error;
            EXPECT_FALSE(PropertyList::serialize(value, format, &error));
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), 3851);
        }
        auto json = PropertyList::serialize(value, PropertyList::Format::JSON);
        ASSERT_TRUE(json);
        EXPECT_EQ(PropertyList::parse(*json), value);
    }
}

TEST(PropertyListTest, FilesAreReplacedWhole) {
    test::TempDir dir;
    std::string path = dir.file("CachedApplications.dat");
    ErrorPtr error;
    EXPECT_FALSE(PropertyList::readFile(path, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 260);

    ASSERT_TRUE(PropertyList::writeFile(Value(Array{"one"}), path));
    ASSERT_TRUE(PropertyList::writeFile(Value(Array{"two"}), path, PropertyList::Format::Binary));
    EXPECT_EQ(PropertyList::readFile(path), Value(Array{"two"}));
    EXPECT_FALSE(PropertyList::writeFile(Value(Array{"x"}), dir.file("missing/folder/file.plist"), PropertyList::Format::XML, &error));
    EXPECT_EQ(error->localizedDescription(), "The file \u201c" + dir.file("missing/folder/file.plist") +
                                                 "\u201d couldn\u2019t be saved: No such file or directory.");
    // Something that exists but cannot be read is told apart from a missing file.
    EXPECT_FALSE(PropertyList::readFile(dir.path(), &error));
    EXPECT_EQ(error->code(), 256);
    EXPECT_EQ(error->localizedDescription(),
              "The file \u201c" + dir.path() + "\u201d couldn\u2019t be opened: Is a directory.");
    EXPECT_FALSE(PropertyList::writeFile(Value(), path));
    EXPECT_EQ(PropertyList::readFile(path), Value(Array{"two"}));  // a failed write keeps the old file
}

}  // namespace
}  // namespace tandril
