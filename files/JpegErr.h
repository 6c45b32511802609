// The fatal conditions that the JPEG writer throws inside itself and catches there: the camera
// object's JpegErr, defined here with the writer that uses it.
#pragma once

#include "camera/C1394Dcam.h"

enum C1394Dcam::JpegErr : int {
    kJpegLibraryError = 0,  // the compression library reported a fatal error
    kJpegNoMemory = 1,      // the row buffer could not be allocated
};

namespace files {

using JpegErr = C1394Dcam::JpegErr;
inline constexpr JpegErr kJpegLibraryError = C1394Dcam::kJpegLibraryError;
inline constexpr JpegErr kJpegNoMemory = C1394Dcam::kJpegNoMemory;

}  // namespace files
