// The application object: command line, single running copy, the private simulated bus on
// request, and the main frame.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CKestrixViewApp {
public:
    struct Options {
        bool simulate = false;
        bool help = false;
        bool version = false;
        // --camera: an index in the camera table, or a GUID (then not 0).
        int cameraIndex = 0;
        std::uint64_t cameraGuid = 0;
        // --cameras: the grid window, on these camera indices; none: every camera on the bus.
        bool grid = false;
        std::vector<int> cameras;
        // The simulated bus's cameras: with --simulate a lone number N for --cameras is a count
        // (N cameras, all shown), a list asks for its highest index + 1, "all" for two.
        int simulatedCameras = 1;
        // Hidden, for the README's screenshot: connect at 640 x 480 RGB 15 fps, start, save a
        // picture of the window to this file after two seconds and end.
        QString screenshot;
        // Hidden, with screenshot: 1360 x 1024 RGB fitted into a smaller window instead, and the
        // picture area's place in the saved window printed on stdout.
        bool screenshotFit = false;
    };

    static std::optional<Options> Parse(int argc, char** argv, std::string& error);
    static const char* Usage();
    // What tells copies of the program apart: one copy runs per camera. Empty for camera 0,
    // whose copies keep the names they had before cameras could be chosen.
    static std::string InstanceKey(const Options& options);

    // The whole life of the program; its exit status.
    int Run(int argc, char** argv);
};
