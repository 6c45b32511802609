// The viewer's command ids, numbered as in its menu and key-command tables.
#pragma once

namespace cmd {

inline constexpr int kConnect = 32771;
inline constexpr int kRelease = 32772;
inline constexpr int kFormat = 32821;  // the "Camera Format" dialog
inline constexpr int kExit = 57665;
inline constexpr int kStart = 32773;
inline constexpr int kStop = 32774;
inline constexpr int kOneShot = 32804;
inline constexpr int kNext = 32775;
inline constexpr int kPrevious = 32776;
inline constexpr int kParameters = 32777;
inline constexpr int kParameters2 = 32809;
inline constexpr int kParameters3 = 32810;
inline constexpr int kParameters4 = 32811;
inline constexpr int kFeatures = 32820;  // the Features dock
inline constexpr int kStillBitmap = 32778;
inline constexpr int kStillJpeg = 32779;
inline constexpr int kAviOpen = 32783;
inline constexpr int kAviClose = 32784;
inline constexpr int kAviStart = 32785;
inline constexpr int kAviStop = 32786;
inline constexpr int kRecordAs = 32912;    // any format the name chooses; again: stop
inline constexpr int kSaveRingAs = 32913;  // the frames the ring holds
inline constexpr int kFrameLog = 32914;    // FILE.csv and FILE.json beside those two
inline constexpr int kSpeedFirst = 32780;  // 100, 200, 400 Mbit/s
inline constexpr int kSpeedLast = 32782;
inline constexpr int kBufferFirst = 32787;  // 10 % .. 90 %
inline constexpr int kBufferLast = 32795;
inline constexpr int kAccessFirst = 32796;  // 4 .. 128 bytes
inline constexpr int kAccessLast = 32801;
inline constexpr int kStreamFirst = 32802;  // stream, packet
inline constexpr int kStreamLast = 32803;
inline constexpr int kSyncFirst = 32807;  // no sync, SY bit
inline constexpr int kSyncLast = 32808;
inline constexpr int kFourCCFirst = 32910;  // raw AVI FourCC: camera, standard
inline constexpr int kFourCCLast = 32911;
inline constexpr int kAbout = 57664;
// The View menu.
inline constexpr int kZoomIn = 32900;
inline constexpr int kZoomOut = 32901;
inline constexpr int kActualSize = 32902;
inline constexpr int kFitToWindow = 32903;
inline constexpr int kFullScreen = 32904;
inline constexpr int kHistogram = 32905;
inline constexpr int kStatistics = 32906;
inline constexpr int kPixelValue = 32907;
inline constexpr int kSnapshot = 32908;
inline constexpr int kSnapshotSettings = 32909;
// Keypad plus and minus: bound keys with no command behind them.
inline constexpr int kNext4x1 = 32805;
inline constexpr int kPrevious4x1 = 32806;

}  // namespace cmd
