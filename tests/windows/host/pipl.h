// Reading the effect's PiPL resource back: the property list through which the host finds and
// identifies the effect, in its published Windows layout (little-endian; four-character codes as
// the little-endian bytes of their value, so '8BIM' is stored "MIB8").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace telvix::wintest {

inline constexpr int kPiplResourceId = 16000;
inline constexpr int kPiplLanguage = 0x0409;  // English (United States)

struct PiplProperty {
    std::string vendor;  // four-character code as written, e.g. "8BIM"
    std::string key;     // e.g. "kind"
    std::uint32_t id = 0;
    std::uint32_t length = 0;        // the length field as stored
    std::vector<std::uint8_t> data;  // the stored data, padding included
};

struct Pipl {
    std::uint16_t kind = 0;     // the leading word, 1
    std::uint32_t version = 0;  // 0
    std::vector<PiplProperty> properties;
};

// Splits `bytes` into header and properties. Nothing: the bytes are cut short or have bytes
// left over, told in `error`.
std::optional<Pipl> parsePipl(const std::vector<std::uint8_t>& bytes, std::string* error);

// The exact bytes the effect's PiPL must have, serialised here from the identity numbers.
std::vector<std::uint8_t> expectedPiplBytes();

// Every way `pipl` (parsed from `bytes`) differs from the effect's twelve properties, field by
// field; empty when it matches to the byte.
std::vector<std::string> checkPipl(const Pipl& pipl, const std::vector<std::uint8_t>& bytes);

// The u32 value of property `key`, when present with a 4-byte payload.
std::optional<std::uint32_t> piplLong(const Pipl& pipl, const std::string& key);

}  // namespace telvix::wintest
