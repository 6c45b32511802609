// Which camera a user means: its index in the camera table, or its GUID, which stays the camera's
// whatever else joins the bus.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix::session {

struct CameraPick {
    static constexpr int kMaxIndex = 64;  // the camera table's rows

    int index = 0;
    std::optional<std::uint64_t> guid;  // when set, chooses the camera instead of the index

    // "N" (an index of one or two decimal digits, below kMaxIndex) or a non-zero GUID of 16 hex
    // digits, with or without 0x ("0x0001A2C3D4E5F607"); nothing for anything else.
    static std::optional<CameraPick> Parse(std::string_view text);
    // A GUID of at most 16 hex digits, with or without 0x.
    static std::optional<std::uint64_t> ParseGuid(std::string_view text);
    // "camera 1" or "the camera with GUID 0001a2c3d4e5f607".
    std::string Text() const;
};

}  // namespace kestrix::session
