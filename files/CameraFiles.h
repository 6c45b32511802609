// The camera object's stills and AVI recording, kept with the file writers so that the camera
// library needs no file code. Each call takes the camera object and a camera index as its own
// members do, and is made on the camera object's owner thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "camera/C1394Dcam.h"

namespace files {

// Converts one ring slot (negative: the newest) and saves it as a 24-bit BMP, or as a JPEG of
// quality 1..100. False without a mode, a usable geometry or a frame, touching no file then;
// C1394Dcam::GetStillErrorText says why writing failed.
bool SaveBitmap(C1394Dcam& cam, int camera, const char* path, int slot);
bool SaveJpeg(C1394Dcam& cam, int camera, const char* path, int quality, bool progressive,
              bool grayscale, int slot);
// The same for a frame of the current mode copied out of the ring before; an empty one: the
// newest in the ring.
bool SaveBitmap(C1394Dcam& cam, int camera, const char* path, std::span<const std::uint8_t> frame);
bool SaveJpeg(C1394Dcam& cam, int camera, const char* path, int quality, bool progressive,
              bool grayscale, std::span<const std::uint8_t> frame);

// Creates an AVI file for the camera's running capture, its writer thread paused; bConvert
// records 24-bit converted frames instead of the camera's own; bStandardFourCC tags raw frames
// with the FourCC common decoders know instead of the camera maker's.
bool OpenAviFile(C1394Dcam& cam, int camera, const char* path, bool bConvert,
                 bool bStandardFourCC = false);
// Records every frame stored from now on; with frameLimit, pauses by itself once that many more
// frames are in the file. False when no open file can take frames.
bool StartAviRecording(C1394Dcam& cam, int camera, std::uint32_t frameLimit = 0);
void PauseAviRecording(C1394Dcam& cam, int camera);
// Stops the writer and finishes the file; false without one, or when a write failed.
bool CloseAviFile(C1394Dcam& cam, int camera);
// The latest recording of the camera index: frames written, frames the ring lost before the
// writer could copy them, and why it failed or ended by itself (empty when neither). Still
// readable after the file was closed or the capture ended, until the next OpenAviFile.
int GetAviFrameCount(const C1394Dcam& cam, int camera);
int GetAviDropped(const C1394Dcam& cam, int camera);
// The ring's sequence number of the frame with which the latest start's frameLimit was reached;
// -1 until it was.
int GetAviLimitSequence(const C1394Dcam& cam, int camera);
std::string GetAviErrorText(const C1394Dcam& cam, int camera);
// Microseconds per frame of the camera's current mode, as its AVI files give it; 0 when the
// camera cannot tell.
std::uint32_t GetFramePeriod(C1394Dcam& cam, int camera);

}  // namespace files
