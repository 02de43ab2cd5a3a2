#include "pipl.h"

#include <algorithm>
#include <cstdio>

#include "telvix_version.h"

namespace telvix::wintest {

namespace {

// How a property's data is encoded.
enum class Encoding {
    FourCC,        // four characters, byte-reversed
    PascalString,  // length byte, characters, zero padding; length field = padded length
    CString,       // characters, NUL, zero padding; length field = padded length
    VersionPair,   // u16 major, u16 minor
    Long,          // u32
    InfoWord,      // length field 2, the value in the first u16 of four data bytes
};

struct Expected {
    const char* key;
    Encoding encoding;
    std::string text;
    std::uint32_t first = 0;
    std::uint32_t second = 0;
};

// The effect's twelve properties in their order, from the same identity numbers the C++ code
// reports at global setup.
const std::vector<Expected>& expectedProperties()
{
    static const std::vector<Expected> properties = {
        {"kind", Encoding::FourCC, "eFKT"},
        {"name", Encoding::PascalString, TELVIX_NAME},
        {"catg", Encoding::PascalString, TELVIX_CATEGORY},
        {"8664", Encoding::CString, "entryPointFunc"},
        {"ePVR", Encoding::VersionPair, "", TELVIX_PIPL_VERSION_MAJOR, TELVIX_PIPL_VERSION_MINOR},
        {"eSVR", Encoding::VersionPair, "", TELVIX_SPEC_VERSION_MAJOR, TELVIX_SPEC_VERSION_MINOR},
        {"eVER", Encoding::Long, "", TELVIX_ENCODED_VERSION},
        {"eINF", Encoding::InfoWord, "", 0},
        {"eGLO", Encoding::Long, "", TELVIX_GLOBAL_OUTFLAGS},
        {"eGL2", Encoding::Long, "", TELVIX_GLOBAL_OUTFLAGS2},
        {"eMNA", Encoding::PascalString, TELVIX_MATCH_NAME},
        {"aeFL", Encoding::Long, "", 0},
    };
    return properties;
}

std::size_t padded(std::size_t n) { return (n + 3) / 4 * 4; }

std::uint16_t u16At(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t u32At(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// A stored four-character code, turned back into reading order: '8BIM' is stored "MIB8", the
// little-endian bytes of its 32-bit value.
std::string fourCCAt(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return {char(b[at + 3]), char(b[at + 2]), char(b[at + 1]), char(b[at])};
}

void putU16(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}

void putU32(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    putU16(b, v & 0xFFFF);
    putU16(b, v >> 16);
}

void putText(std::vector<std::uint8_t>& b, const std::string& text)
{
    for (const char c : text) {
        b.push_back(std::uint8_t(c));
    }
}

void putFourCC(std::vector<std::uint8_t>& b, const std::string& code)
{
    b.insert(b.end(), code.rbegin(), code.rend());
}

// The data bytes of one property and the value of its length field.
std::vector<std::uint8_t> encode(const Expected& e, std::uint32_t* length)
{
    std::vector<std::uint8_t> data;
    switch (e.encoding) {
        case Encoding::FourCC:
            putFourCC(data, e.text);
            break;
        case Encoding::PascalString:
            data.push_back(std::uint8_t(e.text.size()));
            putText(data, e.text);
            break;
        case Encoding::CString:
            putText(data, e.text);
            data.push_back(0);
            break;
        case Encoding::VersionPair:
            putU16(data, e.first);
            putU16(data, e.second);
            break;
        case Encoding::Long:
            putU32(data, e.first);
            break;
        case Encoding::InfoWord:
            putU16(data, e.first);
            *length = 2;
            data.resize(4, 0);
            return data;
    }
    data.resize(padded(data.size()), 0);
    *length = std::uint32_t(data.size());
    return data;
}

std::string inQuotes(std::string text)
{
    text.insert(text.begin(), '"');
    text.push_back('"');
    return text;
}

std::string hex(std::uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(v));
    return text;
}

// What the stored data says, readably, for messages.
std::string describe(const PiplProperty& p, Encoding encoding)
{
    const auto& d = p.data;
    switch (encoding) {
        case Encoding::FourCC:
            return d.size() >= 4 ? inQuotes(fourCCAt(d, 0)) : "(short)";
        case Encoding::PascalString:
            if (d.empty() || d[0] + 1u > d.size()) {
                return "(bad Pascal string)";
            }
            return inQuotes(std::string(d.begin() + 1, d.begin() + 1 + d[0]));
        case Encoding::CString: {
            const auto end = std::find(d.begin(), d.end(), std::uint8_t(0));
            return end == d.end() ? "(unterminated)" : inQuotes(std::string(d.begin(), end));
        }
        case Encoding::VersionPair:
            return d.size() >= 4 ? std::to_string(u16At(d, 0)) + "." + std::to_string(u16At(d, 2))
                                 : "(short)";
        case Encoding::Long:
            return d.size() >= 4 ? hex(u32At(d, 0)) : "(short)";
        case Encoding::InfoWord:
            return d.size() >= 2 ? hex(u16At(d, 0)) : "(short)";
    }
    return "";
}

}  // namespace

std::optional<Pipl> parsePipl(const std::vector<std::uint8_t>& bytes, std::string* error)
{
    // Header: u16 1, u32 version, u32 property count.
    auto fail = [&](const std::string& why) {
        *error = why;
        return std::nullopt;
    };
    if (bytes.size() < 10) {
        return fail("shorter than the 10-byte header");
    }
    Pipl pipl;
    pipl.kind = u16At(bytes, 0);
    pipl.version = u32At(bytes, 2);
    const std::uint32_t count = u32At(bytes, 6);
    std::size_t at = 10;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (bytes.size() - at < 16) {
            return fail("property " + std::to_string(i + 1) + " cut short in its header");
        }
        // Property header: vendor, key, id, length.
        PiplProperty p;
        p.vendor = fourCCAt(bytes, at);
        p.key = fourCCAt(bytes, at + 4);
        p.id = u32At(bytes, at + 8);
        p.length = u32At(bytes, at + 12);
        at += 16;
        // Data always occupies whole 4-byte units, whatever the length field says.
        const std::size_t stored = padded(p.length);
        if (bytes.size() - at < stored) {
            return fail("property " + p.key + " cut short in its data");
        }
        p.data.assign(bytes.begin() + std::ptrdiff_t(at),
                      bytes.begin() + std::ptrdiff_t(at + stored));
        at += stored;
        pipl.properties.push_back(std::move(p));
    }
    // Trailing bytes mean the count or a length is wrong, even if every property looked fine.
    if (at != bytes.size()) {
        return fail(std::to_string(bytes.size() - at) + " bytes after the last property");
    }
    return pipl;
}

std::vector<std::uint8_t> expectedPiplBytes()
{
    std::vector<std::uint8_t> b;
    putU16(b, 1);
    putU32(b, 0);
    putU32(b, std::uint32_t(expectedProperties().size()));
    for (const Expected& e : expectedProperties()) {
        std::uint32_t length = 0;
        const auto data = encode(e, &length);
        putFourCC(b, "8BIM");
        putFourCC(b, e.key);
        putU32(b, 0);
        putU32(b, length);
        b.insert(b.end(), data.begin(), data.end());
    }
    return b;
}

std::vector<std::string> checkPipl(const Pipl& pipl, const std::vector<std::uint8_t>& bytes)
{
    std::vector<std::string> problems;
    if (pipl.kind != 1 || pipl.version != 0) {
        problems.push_back("header is " + std::to_string(pipl.kind) + ", " +
                           std::to_string(pipl.version) + " instead of 1, 0");
    }
    const auto& expected = expectedProperties();
    if (pipl.properties.size() != expected.size()) {
        problems.push_back(std::to_string(pipl.properties.size()) + " properties instead of " +
                           std::to_string(expected.size()));
    }
    // Field by field first, for messages that say what is wrong ...
    const std::size_t n = std::min(pipl.properties.size(), expected.size());
    for (std::size_t i = 0; i < n; ++i) {
        const PiplProperty& p = pipl.properties[i];
        const Expected& e = expected[i];
        const std::string where = "property " + std::to_string(i + 1) + " (" + e.key + "): ";
        if (p.vendor != "8BIM") {
            problems.push_back(where + "vendor \"" + p.vendor + "\" instead of \"8BIM\"");
        }
        if (p.key != e.key) {
            problems.push_back(where + "key \"" + p.key + "\"");
        }
        if (p.id != 0) {
            problems.push_back(where + "id " + std::to_string(p.id) + " instead of 0");
        }
        std::uint32_t length = 0;
        const auto data = encode(e, &length);
        if (p.length != length) {
            problems.push_back(where + "length " + std::to_string(p.length) + " instead of " +
                               std::to_string(length));
        }
        if (p.data != data) {
            PiplProperty want;
            want.data = data;
            problems.push_back(where + "value " + describe(p, e.encoding) + " instead of " +
                               describe(want, e.encoding) + " (or its padding differs)");
        }
    }
    // ... then the whole resource, which must match the published layout to the byte.
    const auto want = expectedPiplBytes();
    if (bytes.size() != want.size()) {
        problems.push_back("payload is " + std::to_string(bytes.size()) + " bytes instead of " +
                           std::to_string(want.size()));
    } else if (bytes != want) {
        const auto diff = std::mismatch(bytes.begin(), bytes.end(), want.begin());
        problems.push_back("bytes differ first at offset " +
                           std::to_string(diff.first - bytes.begin()));
    }
    return problems;
}

std::optional<std::uint32_t> piplLong(const Pipl& pipl, const std::string& key)
{
    for (const PiplProperty& p : pipl.properties) {
        if (p.key == key && p.length == 4 && p.data.size() == 4) {
            return u32At(p.data, 0);
        }
    }
    return std::nullopt;
}

}  // namespace telvix::wintest
