// Record As and Save Ring As on the simulated camera: the file's frames match its frame log's
// rows, the ring's frames are saved whole or up to a Cancel, and the Frame Log setting leaves no
// log.
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/app/ViewerTestSupport.h"

namespace viewertest {
namespace {

namespace fs = std::filesystem;

// Rows after the header.
int LogRows(const fs::path& csv) {
    std::ifstream in(csv);
    int lines = 0;
    for (std::string line; std::getline(in, line);) lines += line.empty() ? 0 : 1;
    return lines - 1;
}

// The frame count a SER header holds (a little-endian 32-bit field at byte 38).
std::uint32_t SerFrames(const fs::path& ser) {
    std::ifstream in(ser, std::ios::binary);
    unsigned char field[4] = {};
    in.seekg(38);
    in.read(reinterpret_cast<char*>(field), 4);
    return field[0] | field[1] << 8 | field[2] << 16 | std::uint32_t(field[3]) << 24;
}

class RecordAsTest : public ViewerTest {
protected:
    QString File(const std::string& name) const {
        return QString::fromStdString((m_files.Path() / name).string());
    }
    testsupport::TempDir m_files{"kestrix-view-record-as"};
};

TEST_F(RecordAsTest, RecordAsWritesSerWithItsLogAndSaveRingWritesTheRing) {
    ASSERT_TRUE(Connect());
    m_prompts->fileAnswers = {File("run.ser")};
    ASSERT_TRUE(View().RunCommand(cmd::kStart));
    ASSERT_TRUE(View().RunCommand(cmd::kRecordAs));
    EXPECT_EQ(m_prompts->fileQuestions.at(0).title, "Record As");
    EXPECT_TRUE(m_prompts->fileQuestions.at(0).filter.contains("*.mkv"));
    ASSERT_TRUE(View().IsCommandChecked(cmd::kRecordAs));
    // The display goes on beside the recorder, which the status bar counts.
    const std::uint64_t shown = View().Pipeline().FramesShown();
    ASSERT_TRUE(WaitFor([&] { return View().Session().RecordAsFigures().frames >= 10; }));
    ASSERT_TRUE(WaitFor([&] { return Pane(3).startsWith(" Record 0000"); }));
    EXPECT_GT(View().Pipeline().FramesShown(), shown);
    // A brightness a parameter dialog writes reaches the log once the viewer polled it.
    const C1394Dcam::DWORD brightness = 0x82000000 + 77;
    ASSERT_TRUE(View().Camera().WriteFeature(0, 0, &brightness));
    const std::uint64_t before = View().Session().RecordAsFigures().frames;
    ASSERT_TRUE(WaitFor([&] { return View().Session().RecordAsFigures().frames >= before + 15; }));
    ASSERT_TRUE(View().RunCommand(cmd::kRecordAs));  // again: stops
    EXPECT_FALSE(View().IsCommandChecked(cmd::kRecordAs));
    const std::uint32_t frames = SerFrames(m_files.Path() / "run.ser");
    EXPECT_GE(frames, 10u);
    EXPECT_EQ(LogRows(m_files.Path() / "run.ser.csv"), int(frames));
    std::ifstream json(m_files.Path() / "run.ser.json");
    const std::string log{std::istreambuf_iterator<char>(json), {}};
    const std::string changes = log.substr(log.find("\"feature_changes\""));
    EXPECT_NE(changes.find("brightness"), std::string::npos) << changes;
    EXPECT_TRUE(m_prompts->messages.empty());

    // The stopped ring, whole: every slot once it went round.
    View().RunCommand(cmd::kStop);
    const auto held = std::min<std::uint64_t>(View().Session().Counters().received,
                                               std::uint64_t(View().m_nBufferCount));
    m_prompts->fileAnswers = {File("ring.tif")};
    ASSERT_TRUE(View().RunCommand(cmd::kSaveRingAs));
    EXPECT_TRUE(m_prompts->messages.empty());
    EXPECT_EQ(LogRows(m_files.Path() / "ring.tif.csv"), int(held));
    EXPECT_GT(fs::file_size(m_files.Path() / "ring.tif"), held * 640 * 480 * 3);
}

TEST_F(RecordAsTest, SaveRingCancelledKeepsAReadableFileOfTheFramesWritten) {
    ASSERT_TRUE(Connect(2, 0, 2));  // 1024 x 768 RGB 7.5 fps: FFV1 takes a while over each frame
    View().RunCommand(cmd::kStart);
    ASSERT_TRUE(WaitFor([&] { return View().Session().Counters().received >= 20; }));
    View().RunCommand(cmd::kStop);
    // Cancel is clicked as soon as the progress dialog shows.
    QTimer cancel;
    QObject::connect(&cancel, &QTimer::timeout, [&] {
        auto* dialog = m_frame->findChild<QProgressDialog*>();
        if (dialog == nullptr || !dialog->isVisible()) return;
        QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
        cancel.stop();
    });
    cancel.start(1);
    m_prompts->fileAnswers = {File("ring.mkv")};
    ASSERT_TRUE(View().RunCommand(cmd::kSaveRingAs));
    ASSERT_EQ(m_prompts->messages.size(), 1u);
    const QString told = m_prompts->messages[0];
    ASSERT_TRUE(told.startsWith("Cancelled: the file keeps the first ")) << told.toStdString();
    const int frames = told.section(' ', 6, 6).toInt();
    EXPECT_LT(frames, 20);
    EXPECT_EQ(ProbeFrames(m_files.Path() / "ring.mkv"), frames);
    EXPECT_EQ(LogRows(m_files.Path() / "ring.mkv.csv"), frames);
}

TEST_F(RecordAsTest, FrameLogOffLeavesNoLogAndABadNameIsTold) {
    ASSERT_TRUE(View().IsCommandChecked(cmd::kFrameLog));  // on by default
    ASSERT_TRUE(View().RunCommand(cmd::kFrameLog));
    EXPECT_FALSE(View().IsCommandChecked(cmd::kFrameLog));
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(View().RunCommand(cmd::kStart));
    m_prompts->fileAnswers = {File("gone/run.ser"), File("quiet.ser")};
    View().RunCommand(cmd::kRecordAs);
    ASSERT_EQ(m_prompts->messages.size(), 1u);
    EXPECT_TRUE(m_prompts->messages[0].startsWith("The recording could not be started: "));
    EXPECT_FALSE(View().IsCommandChecked(cmd::kRecordAs));
    ASSERT_TRUE(View().RunCommand(cmd::kRecordAs));
    ASSERT_TRUE(WaitFor([&] { return View().Session().RecordAsFigures().frames >= 3; }));
    View().RunCommand(cmd::kRecordAs);
    EXPECT_GE(SerFrames(m_files.Path() / "quiet.ser"), 3u);
    EXPECT_FALSE(fs::exists(m_files.Path() / "quiet.ser.csv"));
    EXPECT_FALSE(fs::exists(m_files.Path() / "quiet.ser.json"));
}

}  // namespace
}  // namespace viewertest
