// Little- and big-endian loads and stores for on-wire and on-disk fields.
#pragma once

#include <cstdint>

namespace platform {

inline std::uint32_t LoadLE32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

inline std::uint16_t LoadLE16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }

inline std::uint64_t LoadLE64(const std::uint8_t* p) {
    return std::uint64_t(LoadLE32(p)) | std::uint64_t(LoadLE32(p + 4)) << 32;
}

inline std::uint32_t LoadBE32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

inline void StoreLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}

inline void StoreLE32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

inline void StoreLE64(std::uint8_t* p, std::uint64_t v) {
    StoreLE32(p, std::uint32_t(v));
    StoreLE32(p + 4, std::uint32_t(v >> 32));
}

inline void StoreBE32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

}  // namespace platform
