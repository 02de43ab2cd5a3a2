// The PiPL resource: its expected bytes, the compiled resource script, and the reader that
// checks the resource inside Telvix.aex under Wine.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "pipl.h"

namespace {

using telvix::wintest::checkPipl;
using telvix::wintest::expectedPiplBytes;
using telvix::wintest::parsePipl;
using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes slice(const Bytes& b, std::size_t at, std::size_t n)
{
    return Bytes(b.begin() + std::ptrdiff_t(at), b.begin() + std::ptrdiff_t(at + n));
}

std::uint32_t u32At(const Bytes& b, std::size_t at)
{
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// A resource name or type in a .res header: 0xFFFF and a number, or a NUL-terminated UTF-16
// string (returned as ASCII). Advances `at`.
std::string resName(const Bytes& b, std::size_t& at)
{
    if (b[at] == 0xFF && b[at + 1] == 0xFF) {
        std::string id = std::to_string(b[at + 2] | (b[at + 3] << 8));
        at += 4;
        id.insert(id.begin(), '#');
        return id;
    }
    std::string name;
    for (; b[at] != 0 || b[at + 1] != 0; at += 2) {
        name += char(b[at]);
    }
    at += 2;
    return name;
}

// The data of resource `type`/`name`/`language` in a .res file, or nothing.
std::optional<Bytes> findInRes(const Bytes& res, const std::string& type, const std::string& name,
                               unsigned language)
{
    std::size_t at = 0;
    while (at + 8 <= res.size()) {
        const std::uint32_t dataSize = u32At(res, at);
        const std::uint32_t headerSize = u32At(res, at + 4);
        std::size_t field = at + 8;
        const std::string t = resName(res, field);
        const std::string n = resName(res, field);
        field = (field + 3) / 4 * 4 + 4 + 2;  // past DataVersion and MemoryFlags
        const unsigned lang = res[field] | (res[field + 1] << 8);
        const std::size_t data = at + headerSize;
        if (t == type && n == name && lang == language) {
            return slice(res, data, dataSize);
        }
        at = (data + dataSize + 3) / 4 * 4;
    }
    return std::nullopt;
}

TEST(PiplLayout, TwelvePropertiesIn282BytesInThePublishedOrder)
{
    const Bytes b = expectedPiplBytes();
    ASSERT_EQ(b.size(), 282u);
    EXPECT_EQ(slice(b, 0, 10), (Bytes{1, 0, 0, 0, 0, 0, 12, 0, 0, 0}));
    // The first property whole: vendor and key byte-reversed, id 0, length 4, "eFKT" reversed.
    EXPECT_EQ(slice(b, 10, 20), bytesOf(std::string("MIB8dnik\0\0\0\0\4\0\0\0TKFe", 20)));
    // name: Pascal string padded to 8, and the padded length stored.
    EXPECT_EQ(slice(b, 30, 24), bytesOf(std::string("MIB8eman\0\0\0\0\x08\0\0\0\x06Telvix\0", 24)));

    std::string error;
    const auto pipl = parsePipl(b, &error);
    ASSERT_TRUE(pipl) << error;
    std::string keys;
    for (const auto& p : pipl->properties) {
        keys += p.key + " ";
    }
    EXPECT_EQ(keys, "kind name catg 8664 ePVR eSVR eVER eINF eGLO eGL2 eMNA aeFL ");
    EXPECT_EQ(telvix::wintest::piplLong(*pipl, "eVER"), 0x83000u);
    EXPECT_EQ(telvix::wintest::piplLong(*pipl, "eGLO"), 0x2000040u);
    // eINF stores length 2 but occupies four bytes.
    EXPECT_EQ(pipl->properties[7].length, 2u);
    EXPECT_EQ(pipl->properties[7].data, (Bytes{0, 0, 0, 0}));
    EXPECT_TRUE(checkPipl(*pipl, b).empty());
}

TEST(PiplLayout, ResourceScriptCompilesToExactlyTheseBytes)
{
    const std::string windres = TELVIX_WINDRES;
    if (windres.empty()) {
        GTEST_SKIP() << "x86_64-w64-mingw32-windres not installed";
    }
    const std::string out = testing::TempDir() + "telvix_pipl_test.res";
    const std::string command = "\"" + windres +
                                "\" -I \"" TELVIX_RESOURCE_DIR "\" -I \"" TELVIX_GENERATED_DIR
                                "\" -O res \"" +
                                std::string(TELVIX_RESOURCE_SCRIPT) + "\" \"" + out + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream file(out, std::ios::binary);
    const Bytes res((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::remove(out.c_str());

    // Resource compilers store type names upper-cased; FindResource matches them so.
    const auto pipl = findInRes(res, "PIPL", "#16000", 0x0409);
    ASSERT_TRUE(pipl) << "no PiPL 16000 in language 1033";
    EXPECT_EQ(*pipl, expectedPiplBytes());
}

TEST(PiplReader, RejectsCutAndOverlongResources)
{
    const Bytes b = expectedPiplBytes();
    std::string error;
    EXPECT_FALSE(parsePipl(slice(b, 0, 9), &error));
    EXPECT_FALSE(parsePipl(slice(b, 0, b.size() - 1), &error));
    EXPECT_NE(error.find("aeFL"), std::string::npos) << error;
    Bytes longer = b;
    longer.insert(longer.end(), {0, 0, 0, 0});
    EXPECT_FALSE(parsePipl(longer, &error));
    EXPECT_NE(error.find("4 bytes after"), std::string::npos) << error;
}

TEST(PiplReader, NamesEveryFieldThatDiffers)
{
    const auto problemsWith = [](const Bytes& b) {
        std::string error;
        const auto pipl = parsePipl(b, &error);
        EXPECT_TRUE(pipl) << error;
        std::string all;
        for (const std::string& p : checkPipl(*pipl, b)) {
            all += p + "\n";
        }
        return all;
    };
    Bytes version = expectedPiplBytes();
    const std::size_t eVer = 10 + 20 + 24 + 32 + 32 + 20 + 20 + 16;  // data of property 7
    version[eVer + 1] = 0x31;                                        // 0x83000 -> 0x83100
    EXPECT_NE(problemsWith(version).find("(eVER): value 0x83100 instead of 0x83000"),
              std::string::npos)
        << problemsWith(version);

    Bytes vendor = expectedPiplBytes();
    vendor[10] = 'X';  // "MIB8" -> "XIB8": vendor "8BIX"
    EXPECT_NE(problemsWith(vendor).find("(kind): vendor \"8BIX\""), std::string::npos);

    Bytes name = expectedPiplBytes();
    name[30 + 16 + 1] = 't';  // "Telvix" -> "telvix"
    EXPECT_NE(problemsWith(name).find("(name): value \"telvix\" instead of \"Telvix\""),
              std::string::npos)
        << problemsWith(name);
}

}  // namespace
