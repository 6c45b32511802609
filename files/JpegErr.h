// The fatal conditions that the JPEG writer throws inside itself and catches there.
#pragma once

namespace files {

enum JpegErr {
    kJpegLibraryError = 0,  // the compression library reported a fatal error
    kJpegNoMemory = 1,      // the row buffer could not be allocated
};

}  // namespace files
