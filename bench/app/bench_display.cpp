// The display path of one frame as the display thread and the window run it: the copy out of
// the ring, the conversion laid into the hand-over picture, the hand-over itself, and the paint
// into a window's backing store, at 1:1 (a window the picture's size) and in Fit to Window (the
// picture scaled into a 1024 x 700 window, a 1366 x 768 laptop's screen).
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "app/DisplayHandOver.h"
#include "app/ViewZoom.h"
#include "camera/FrameConverter.h"

namespace {

constexpr int kYuv422 = 2, kRgb8 = 4;
constexpr QSize kFitWindow{1024, 700};

void DisplayPath(benchmark::State& state) {
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    const int coding = int(state.range(2));
    const bool fit = state.range(3) != 0;
    std::vector<std::uint8_t> slot(FrameConverter::FrameBytes(coding, width, height));
    for (std::size_t i = 0; i < slot.size(); ++i) slot[i] = std::uint8_t(i * 7);
    std::vector<std::uint8_t> frame(slot.size());
    std::vector<std::uint8_t> band;
    FrameConverter converter;
    converter.SetColorTables(false, false, 10);
    DisplayHandOver handOver;
    handOver.Allocate(width, height);
    const QSize picture(width, height);
    ViewZoom zoom;
    if (fit) zoom.Fit(kFitWindow, picture);
    const QSize window = fit ? kFitWindow : picture;
    QImage backingStore(window, QImage::Format_ARGB32_Premultiplied);
    const QRect target(QPoint(0, 0), zoom.Zoomed(picture));
    int index = 0;
    for (auto _ : state) {
        std::memcpy(frame.data(), slot.data(), slot.size());
        DisplayHandOver::ConvertFrame(converter, coding, frame.data(), handOver.Back(), band);
        handOver.Publish(index);
        handOver.TakePending(index);
        QPainter painter(&backingStore);
        if (target.size() == picture)
            painter.drawImage(target.topLeft(), handOver.Front());
        else
            painter.drawImage(target, handOver.Front());
        painter.end();
        benchmark::DoNotOptimize(backingStore.constBits());
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(DisplayPath)
    ->ArgNames({"w", "h", "coding", "fit"})
    ->Args({640, 480, kRgb8, 0})
    ->Args({640, 480, kYuv422, 0})
    ->Args({1024, 768, kYuv422, 0})
    ->Args({1360, 1024, kRgb8, 0})
    ->Args({1360, 1024, kYuv422, 0})
    ->Args({1360, 1024, kRgb8, 1})
    ->Args({1360, 1024, kYuv422, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // QPainter on images needs the GUI application's fonts and formats, not a screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
