// The same faults, the same counters, in every front end: two reads that deliver nothing are two
// lost frames, and a frame without its last packets is one short frame (delivered, not lost), in
// the viewer's statistics, kestrix-capture's summary, kestrixsrc's stats and Python's stream.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "tests/app/ViewerTestSupport.h"
#include "tests/gst/GstTestSupport.h"

namespace viewertest {
namespace {

struct Figures {
    long lost = -1;
    long shortFrames = -1;
    bool operator==(const Figures&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Figures& f) {
    return out << "lost=" << f.lost << " short=" << f.shortFrames;
}

long Field(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? std::stol(match[1]) : -1;
}

constexpr int kFrames = 12;

class FrontEndsAgree : public ViewerTest {
protected:
    void Arm(const std::string& fault, const std::string& count) {
        ASSERT_TRUE(m_bus.Busctl({"fault", "clear"}).Ok());
        ASSERT_TRUE(m_bus.Busctl({"fault", fault, count}).Ok());
    }

    Figures Viewer() {
        EXPECT_TRUE(Connect(0, 0, 2));  // 640 x 480 RGB at 7.5 fps
        View().RunCommand(cmd::kStart);
        EXPECT_TRUE(WaitFor([&] { return View().SampleStatistics().received >= kFrames; }));
        const ViewerStatistics s = View().SampleStatistics();
        View().RunCommand(cmd::kRelease);
        return {long(s.lost), long(s.shortFrames)};
    }

    Figures Capture() {
        const auto run = testsupport::SimulatedBus::RunProgram(
            {KESTRIX_CAPTURE_PATH, "--rate", "7.5", "--frames", std::to_string(kFrames), "--json"});
        EXPECT_EQ(run.exitCode, 0) << run.errors;
        return {Field(run.output, R"("lost": ?(\d+))"), Field(run.output, R"("short": ?(\d+))")};
    }

    Figures Python() {
        ::setenv("PYTHONPATH", KESTRIX_PYTHON_PATH, 1);
        const std::string script =
            "import kestrix\n"
            "with kestrix.open() as cam:\n"
            "    cam.rate = 7.5\n"
            "    with cam.stream() as s:\n"
            "        list(s.frames(count=" + std::to_string(kFrames) + "))\n"
            "        print('lost=%d short=%d' % (s.lost, s.short_frames))\n";
        const auto run = testsupport::SimulatedBus::RunProgram({KESTRIX_PYTHON, "-c", script});
        EXPECT_EQ(run.exitCode, 0) << run.errors;
        return {Field(run.output, R"(lost=(\d+))"), Field(run.output, R"(short=(\d+))")};
    }

    Figures Gst() {
        gsttest::Pipeline pipeline("kestrixsrc name=src num-buffers=" + std::to_string(kFrames) +
                                   " ! video/x-raw,framerate=15/2 ! fakesink");
        EXPECT_TRUE(pipeline.Play());
        GstMessage* end = pipeline.WaitFor(GST_MESSAGE_EOS | GST_MESSAGE_ERROR, std::chrono::seconds(60));
        EXPECT_TRUE(end != nullptr && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS);
        if (end != nullptr) gst_message_unref(end);
        GstStructure* stats = nullptr;
        g_object_get(pipeline.Element("src"), "stats", &stats, nullptr);
        guint64 lost = 0, shortFrames = 0;
        EXPECT_TRUE(stats != nullptr && gst_structure_get_uint64(stats, "lost", &lost) &&
                    gst_structure_get_uint64(stats, "short", &shortFrames));
        if (stats != nullptr) gst_structure_free(stats);
        return {long(lost), long(shortFrames)};
    }
};

TEST_F(FrontEndsAgree, TheSameFaultsGiveTheSameCounters) {
    struct Case {
        const char* fault;
        const char* count;
        Figures expected;
    };
    for (const Case& c : {Case{"iso-negative", "2", {2, 0}}, Case{"short-frame", "1", {0, 1}}}) {
        SCOPED_TRACE(c.fault);
        Arm(c.fault, c.count);
        EXPECT_EQ(Viewer(), c.expected) << "the viewer";
        Arm(c.fault, c.count);
        EXPECT_EQ(Capture(), c.expected) << "kestrix-capture";
        Arm(c.fault, c.count);
        EXPECT_EQ(Gst(), c.expected) << "kestrixsrc";
        Arm(c.fault, c.count);
        EXPECT_EQ(Python(), c.expected) << "Python";
    }
}

}  // namespace
}  // namespace viewertest
