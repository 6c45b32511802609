// ConvertToBitmap per coding, size and path, against libyuv's 4:2:2 route to bottom-up 24-bit.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "camera/FrameConverter.h"

namespace {

using Path = FrameConverter::ConversionPath;

struct Size {
    int width;
    int height;
};
constexpr Size kSizes[] = {{1360, 1024}, {640, 480}};

const char* const kCodingNames[] = {"Mono8", "Yuv411", "Yuv422", "Yuv444",
                                    "Rgb8",  "Mono16", "Rgb16"};
constexpr int kSimdCodings = 5;  // mono 8, the three YUV codings and RGB 8 have SIMD kernels

std::string SizeName(Size s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

std::vector<std::uint8_t> RandomFrame(std::size_t bytes) {
    std::vector<std::uint8_t> frame(bytes);
    std::mt19937 rng(1394);
    for (auto& b : frame) b = static_cast<std::uint8_t>(rng());
    return frame;
}

void Finish(benchmark::State& state, Size s) {
    state.SetItemsProcessed(state.iterations() * s.width * s.height);
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Convert(benchmark::State& state, int coding, Path path, Size s) {
    FrameConverter converter;
    converter.SetConversionPath(path);
    converter.SetColorTables(false, false, 10);  // the viewer's settings
    const std::vector<std::uint8_t> frame =
        RandomFrame(FrameConverter::FrameBytes(coding, s.width, s.height));
    std::vector<std::uint8_t> bitmap(FrameConverter::BitmapBytes(s.width, s.height));
    for (auto _ : state) {
        converter.ConvertToBitmap(coding, bitmap.data(), frame.data(), s.width, s.height);
        benchmark::ClobberMemory();
    }
    Finish(state, s);
}

// libyuv's fastest way from UYVY to bottom-up BGR bytes: to ARGB and on to RGB24, row by row.
void Libyuv422(benchmark::State& state, Size s) {
    const std::vector<std::uint8_t> frame =
        RandomFrame(FrameConverter::FrameBytes(FrameConverter::Yuv422, s.width, s.height));
    std::vector<std::uint8_t> bitmap(FrameConverter::BitmapBytes(s.width, s.height));
    std::vector<std::uint8_t> argbRow(4 * static_cast<std::size_t>(s.width));
    const std::size_t srcRow = 2 * static_cast<std::size_t>(s.width);
    const std::size_t stride = static_cast<std::size_t>(FrameConverter::Stride(s.width));
    for (auto _ : state) {
        for (int y = 0; y < s.height; ++y) {
            libyuv::UYVYToARGB(frame.data() + srcRow * y, 0, argbRow.data(), 0, s.width, 1);
            libyuv::ARGBToRGB24(argbRow.data(), 0, bitmap.data() + stride * (s.height - 1 - y), 0,
                                s.width, 1);
        }
        benchmark::ClobberMemory();
    }
    Finish(state, s);
}

std::string ConvertName(int coding, Path path, Size s) {
    return std::string("Convert/") + kCodingNames[coding] + "/" + FrameConverter::PathName(path) +
           "/" + SizeName(s);
}
std::string LibyuvName(Size s) { return "Libyuv/Yuv422/" + SizeName(s); }

// Keeps each benchmark's best CPU time per frame (microseconds) over its repetitions, since on a
// shared machine the best run is the least disturbed; the median stands in when only aggregates
// are reported.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const std::string& name = run.run_name.function_name;
            const double micros = run.GetAdjustedCPUTime();
            if (run.run_type == Run::RT_Iteration) {
                const auto it = m_best.find(name);
                if (it == m_best.end() || micros < it->second) m_best[name] = micros;
            } else if (run.aggregate_name == "median") {
                m_median[name] = micros;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Micros(const std::string& name) const {
        for (const auto* times : {&m_best, &m_median}) {
            const auto it = times->find(name);
            if (it != times->end()) return it->second;
        }
        return 0.0;
    }

private:
    std::map<std::string, double> m_best;
    std::map<std::string, double> m_median;
};

void PrintSummary(const SummaryReporter& report, Path best) {
    std::printf("\nYUV 4:2:2 summary, best CPU time per frame (SIMD path: %s)\n",
                FrameConverter::PathName(best));
    for (Size s : kSizes) {
        const double plain = report.Micros(ConvertName(FrameConverter::Yuv422, Path::Plain, s));
        const double simd = report.Micros(ConvertName(FrameConverter::Yuv422, best, s));
        const double libyuv = report.Micros(LibyuvName(s));
        if (plain <= 0 || simd <= 0 || libyuv <= 0) continue;  // filtered out
        std::printf(
            "  %-9s plain %7.3f ms  simd %7.3f ms  libyuv %7.3f ms  plain/simd %5.2fx  libyuv/simd "
            "%5.2fx\n",
            SizeName(s).c_str(), plain / 1000, simd / 1000, libyuv / 1000, plain / simd,
            libyuv / simd);
    }
    std::printf("  targets: libyuv/simd >= 1, plain/simd >= 5, plain <= about 2 ms at 1360x1024\n");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    FrameConverter probe;
    const Path best = probe.GetConversionPath();
    for (Size s : kSizes) {
        for (int coding = 0; coding < 7; ++coding) {
            for (Path path : {Path::Plain, Path::Ssse3, Path::Avx2}) {
                if (!FrameConverter::IsPathSupported(path) ||
                    (path != Path::Plain && coding >= kSimdCodings))
                    continue;
                benchmark::RegisterBenchmark(ConvertName(coding, path, s).c_str(), Convert, coding,
                                             path, s)
                    ->Unit(benchmark::kMicrosecond);
            }
        }
        benchmark::RegisterBenchmark(LibyuvName(s).c_str(), Libyuv422, s)
            ->Unit(benchmark::kMicrosecond);
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintSummary(reporter, best);
    benchmark::Shutdown();
    return 0;
}
