// Stills and AVI recording through the menus with scripted file-dialog answers, and the bus
// notices (reset, unplug) while connected and while recording: released, told, file readable.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "files/CameraFiles.h"
#include "tests/app/ViewerTestSupport.h"

namespace viewertest {
namespace {

namespace fs = std::filesystem;

std::string Head(const fs::path& file, std::size_t bytes) {
    std::ifstream in(file, std::ios::binary);
    std::string head(bytes, '\0');
    in.read(head.data(), std::streamsize(bytes));
    return head.substr(0, std::size_t(in.gcount()));
}

class RecordingTest : public ViewerTest {
protected:
    QString File(const std::string& name) const {
        return QString::fromStdString((m_files.Path() / name).string());
    }
    // Opens an AVI file (answering the question as told) and records until frames are in it.
    void Record(const std::string& name, bool convert, int frames) {
        m_prompts->fileAnswers.push_back(File(name));
        m_prompts->answerYes = convert;
        ASSERT_TRUE(View().RunCommand(cmd::kAviOpen));
        ASSERT_TRUE(View().m_bAviOpen);
        ASSERT_TRUE(View().RunCommand(cmd::kAviStart));
        ASSERT_TRUE(View().RunCommand(cmd::kStart));
        ASSERT_TRUE(WaitFor([&] { return files::GetAviFrameCount(View().Camera(), 0) >= frames; }));
    }
    testsupport::TempDir m_files{"kestrix-view-files"};
};

TEST_F(RecordingTest, StillsOfTheShownFrameAndAFailedSaveIsReported) {
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(StreamAndStop());
    m_prompts->fileAnswers = {File("still.bmp"), File("still.jpg"), File("gone/still.jpg")};
    ASSERT_TRUE(View().RunCommand(cmd::kStillBitmap));
    ASSERT_TRUE(View().RunCommand(cmd::kStillJpeg));
    ASSERT_EQ(m_prompts->fileQuestions.size(), 2u);
    EXPECT_EQ(m_prompts->fileQuestions[0].title, "Capture Still Image [BITMAP]");
    EXPECT_EQ(m_prompts->fileQuestions[0].filter, "Bitmap (*.BMP)|*.bmp|All files (*.*)|*.*||");
    EXPECT_EQ(m_prompts->fileQuestions[0].suffix, "bmp");
    EXPECT_EQ(m_prompts->fileQuestions[1].title, "Capture Still Image [JPEG]");
    EXPECT_EQ(m_prompts->fileQuestions[1].suffix, "jpg");
    EXPECT_EQ(fs::file_size(m_files.Path() / "still.bmp"), 54u + 640 * 480 * 3);
    EXPECT_EQ(Head(m_files.Path() / "still.jpg", 3), "\xFF\xD8\xFF");
    EXPECT_TRUE(m_prompts->messages.empty());

    View().RunCommand(cmd::kStillJpeg);  // into a folder that does not exist
    ASSERT_EQ(m_prompts->messages.size(), 1u);
    EXPECT_TRUE(m_prompts->messages[0].startsWith("The still image could not be saved"));
    EXPECT_FALSE(fs::exists(m_files.Path() / "gone"));
    m_prompts->fileAnswers.clear();
    View().RunCommand(cmd::kStillBitmap);  // cancelled: nothing happens
    EXPECT_EQ(m_prompts->messages.size(), 1u);
}

TEST_F(RecordingTest, AviAnsweredNoHoldsRawFramesYesConvertedOnesAndCountsShow) {
    ASSERT_TRUE(Connect(0, 1, 3));  // YUV 4:2:2: raw frames are 2 bytes a pixel
    Record("raw.avi", false, 10);
    EXPECT_EQ(m_prompts->questions.at(0), "Do you want to make a non-compressed AVI file?");
    EXPECT_EQ(m_prompts->fileQuestions.at(0).title, "Open AVI file");
    EXPECT_EQ(m_prompts->fileQuestions.at(0).filter, "Microsoft AVI|*.avi|All files (*.*)|*.*||");
    ASSERT_TRUE(WaitFor([&] { return Pane(3) != " Capture 000000 "; }));
    View().RunCommand(cmd::kAviStop);
    View().RunCommand(cmd::kStop);
    View().RunCommand(cmd::kAviClose);
    EXPECT_EQ(Pane(3), " Capture ------ ");
    const int raw = ProbeFrames(m_files.Path() / "raw.avi");
    EXPECT_GE(raw, 10);
    EXPECT_GE(fs::file_size(m_files.Path() / "raw.avi"), std::uintmax_t(raw) * 640 * 480 * 2);

    Record("converted.avi", true, 5);
    View().RunCommand(cmd::kAviClose);
    const int converted = ProbeFrames(m_files.Path() / "converted.avi");
    EXPECT_GE(converted, 5);
    EXPECT_GE(fs::file_size(m_files.Path() / "converted.avi"),
              std::uintmax_t(converted) * 640 * 480 * 3);
    // A loaded machine may drop a frame, which Close reports; nothing else may be said.
    for (const QString& message : m_prompts->messages) {
        if (message != "There was a dropped-frame in file capture.")
            ADD_FAILURE() << message.toStdString();
    }
}

TEST_F(RecordingTest, TheRawFourCCSettingTagsTheNextRawFile) {
    ASSERT_TRUE(Connect(0, 1, 3));
    m_frame->Action(cmd::kFourCCLast)->trigger();  // Standard, also while connected
    Record("standard.avi", false, 1);
    View().RunCommand(cmd::kAviClose);
    View().RunCommand(cmd::kStop);
    m_frame->Action(cmd::kFourCCFirst)->trigger();
    Record("camera.avi", false, 1);
    View().RunCommand(cmd::kAviClose);
    // The tag stands in the stream header, twice (handler and compression).
    EXPECT_NE(Head(m_files.Path() / "standard.avi", 256).find("UYVY"), std::string::npos);
    EXPECT_NE(Head(m_files.Path() / "camera.avi", 256).find("dcy2"), std::string::npos);
}

TEST_F(RecordingTest, AviThatCannotBeCreatedIsReported) {
    ASSERT_TRUE(Connect());
    m_prompts->fileAnswers.push_back(File("gone/a.avi"));
    View().RunCommand(cmd::kAviOpen);
    EXPECT_FALSE(View().m_bAviOpen);
    ASSERT_EQ(m_prompts->messages.size(), 1u);
    EXPECT_EQ(m_prompts->messages[0], "AVI file has not been created.");
}

TEST_F(RecordingTest, BusResetWhileRecordingReleasesTellsAndLeavesAReadableFile) {
    ASSERT_TRUE(Connect());
    Record("reset.avi", false, 5);
    ASSERT_TRUE(m_bus.Busctl({"bus-reset"}).Ok());
    ASSERT_TRUE(WaitFor([&] { return !m_prompts->messages.empty(); }));
    EXPECT_EQ(m_prompts->messages, std::vector<QString>{"The notice of busreset was detected."});
    EXPECT_FALSE(View().m_bConnected);
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView");
    EXPECT_GE(ProbeFrames(m_files.Path() / "reset.avi"), 5);
    // The camera is still there: a new connection works.
    ASSERT_TRUE(Connect());
}

TEST_F(RecordingTest, UnplugWhileRecordingReleasesTellsAndLeavesAReadableFile) {
    ASSERT_TRUE(Connect());
    Record("unplug.avi", true, 5);
    ASSERT_TRUE(m_bus.Busctl({"remove", "0"}).Ok());
    ASSERT_TRUE(WaitFor([&] { return !m_prompts->messages.empty(); }));
    // A device change may come with a reset; the first notice releases, a later one is ignored.
    EXPECT_EQ(m_prompts->messages.size(), 1u);
    EXPECT_TRUE(m_prompts->messages[0] == "The notice of device change was detected." ||
                m_prompts->messages[0] == "The notice of busreset was detected.")
        << m_prompts->messages[0].toStdString();
    EXPECT_FALSE(View().m_bConnected);
    EXPECT_GE(ProbeFrames(m_files.Path() / "unplug.avi"), 5);
    ASSERT_TRUE(
        WaitFor([&] { return View().Camera().GetDeviceCount(C1394Dcam::kCameraDevices) == 0; }));
    EXPECT_FALSE(Connect());
    EXPECT_EQ(m_prompts->messages.back(), "The camera is not connected.");
}

TEST_F(RecordingTest, NoticesWhileNotConnectedAreIgnored) {
    ASSERT_TRUE(m_bus.Busctl({"bus-reset"}).Ok());
    ASSERT_TRUE(m_bus.Busctl({"add-camera"}).Ok());
    ASSERT_TRUE(
        WaitFor([&] { return View().Camera().GetDeviceCount(C1394Dcam::kCameraDevices) == 2; }));
    QTest::qWait(100);
    EXPECT_TRUE(m_prompts->messages.empty());
}

}  // namespace
}  // namespace viewertest
