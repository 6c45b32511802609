// What the still writers share: input checks, failure results, and the staged write that makes
// a file appear only once it is whole.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "files/PosixFile.h"

namespace files {

// Why a width x height still cannot be written from bits to path, or empty when it can. The
// format may hold at most maxImageBytes of pixels.
std::string StillInputProblem(const std::string& path, std::span<const std::uint8_t> bits,
                              int width, int height, std::uint64_t maxImageBytes);

// The still writers' failure: stores text in *error when the caller asked for it; false.
bool StillFailure(std::string* error, std::string text);

// Has write fill a temporary file beside path (returning empty, or why it failed), then puts it
// in place once on disk. File errors and lack of memory become a false result, as any failure
// of write does; no partial file is left behind.
bool WriteStill(const std::string& path, std::string* error,
                const std::function<std::string(PosixFile&)>& write);

}  // namespace files
