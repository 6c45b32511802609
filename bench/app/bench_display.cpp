// The display path of one frame: conversion to the bottom-up bitmap, laying it into the
// hand-over picture, the hand-over itself, and the paint into a window-sized backing store.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "app/DisplayHandOver.h"
#include "camera/FrameConverter.h"

namespace {

constexpr int kYuv422 = 2, kRgb8 = 4;

void DisplayPath(benchmark::State& state) {
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    const int coding = int(state.range(2));
    const std::size_t pixels = std::size_t(width) * std::size_t(height);
    std::vector<std::uint8_t> frame(pixels * (coding == kYuv422 ? 2 : 3));
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = std::uint8_t(i * 7);
    std::vector<std::uint8_t> bits(pixels * 3);
    FrameConverter converter;
    converter.SetColorTables(false, false, 10);
    DisplayHandOver handOver;
    handOver.Allocate(width, height);
    QImage backingStore(width, height, QImage::Format_ARGB32_Premultiplied);
    int slot = 0;
    for (auto _ : state) {
        converter.ConvertToBitmap(coding, bits.data(), frame.data(), width, height);
        DisplayHandOver::LayBitmap(bits.data(), handOver.Back());
        handOver.Publish(slot);
        handOver.TakePending(slot);
        QPainter painter(&backingStore);
        painter.drawImage(0, 0, handOver.Front());
        painter.end();
        benchmark::DoNotOptimize(backingStore.constBits());
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(DisplayPath)
    ->ArgNames({"w", "h", "coding"})
    ->Args({640, 480, kRgb8})
    ->Args({640, 480, kYuv422})
    ->Args({1360, 1024, kRgb8})
    ->Args({1360, 1024, kYuv422})
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
