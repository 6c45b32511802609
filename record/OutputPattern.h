// The output name of a recording of several cameras: a pattern whose {camera} takes each
// camera's index and {guid} its GUID (16 hex digits), one file per camera, and the name of
// the frame-set sidecar (NAME.sync.csv) beside them. kestrix-capture and the viewer's grid
// both name their files here.
#pragma once

#include <cstdint>
#include <string>

namespace kestrix::record {

class OutputPattern {
public:
    explicit OutputPattern(std::string pattern) : m_strPattern(std::move(pattern)) {}

    const std::string& Text() const { return m_strPattern; }
    // Whether the pattern holds {camera} or {guid}, so that each camera gets a file of its own.
    bool HasPlaceholder() const;
    // Why the pattern cannot name several cameras' files (an unknown {name}, none of the two
    // placeholders), or empty when it can.
    std::string Problem() const;
    // The file of one camera: {camera} replaced by its index, {guid} by its GUID.
    std::string Expand(int camera, std::uint64_t guid) const;
    // The sidecar: the pattern without its placeholders (each with the '-' or '_' before it,
    // or after it when none is before), without a sequence's %d conversion the same way, and
    // with .sync.csv for its extension: run-{camera}.avi -> run.sync.csv, out/{guid}_cam.tif ->
    // out/cam.sync.csv. A name left empty takes its folder's, beside it
    // (frames-{camera}/%06d.png -> frames.sync.csv), or without a folder "cameras".
    std::string SyncPath() const;

private:
    std::string m_strPattern;
};

}  // namespace kestrix::record
