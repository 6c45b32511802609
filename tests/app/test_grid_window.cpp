// The grid window of several cameras: tiles laid out to fit, the keyboard moving between them,
// each caption naming its camera and figures, the cameras started, stopped and recorded at
// once, a tile opened into its own window (a real kestrixview) and given back when that ends,
// and the single-instance lock the grid holds for each camera it shows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/CCameraGrid.h"
#include "app/CGridFrame.h"
#include "app/CKestrixViewApp.h"
#include "app/SingleInstance.h"
#include "camera/CameraLock.h"
#include "session/CameraInfo.h"
#include "tests/app/ViewerProcess.h"
#include "tests/app/ViewerTestSupport.h"

namespace {

using namespace std::chrono_literals;
using viewertest::WaitFor;

TEST(GridLayoutTest, TilesFitTheWindowWithoutOverlap) {
    const QSize shapes[] = {{1, 1}, {2, 1}, {2, 2}, {2, 2}, {3, 2}};
    CCameraGrid grid;
    grid.resize(800, 600);
    for (int count = 1; count <= 5; ++count) {
        grid.SetTileCount(count);
        EXPECT_EQ(CCameraGrid::Shape(count), shapes[count - 1]) << count;
        std::set<int> columns, rows;
        for (int tile = 0; tile < count; ++tile) {
            const QRect box = grid.TileRect(tile);
            columns.insert(box.x());
            rows.insert(box.y());
            EXPECT_TRUE(grid.rect().contains(box)) << count << " tiles, tile " << tile;
            EXPECT_EQ(box.size(), grid.TileRect(0).size());
            for (int other = 0; other < tile; ++other)
                EXPECT_FALSE(box.intersects(grid.TileRect(other))) << count << ": " << tile;
            EXPECT_EQ(grid.TileAt(box.center()), tile);
        }
        EXPECT_EQ(int(columns.size()), shapes[count - 1].width()) << count;
        EXPECT_EQ(int(rows.size()), shapes[count - 1].height()) << count;
    }
}

TEST(GridLayoutTest, ArrowKeysMoveWithinTheGridAndEnterOpens) {
    CCameraGrid grid;
    grid.resize(800, 600);
    grid.SetTileCount(3);  // 2 x 2, the last place empty
    std::vector<int> opened;
    QObject::connect(&grid, &CCameraGrid::Opened, [&](int tile) { opened.push_back(tile); });
    const std::pair<Qt::Key, int> moves[] = {
        {Qt::Key_Left, 0}, {Qt::Key_Right, 1}, {Qt::Key_Right, 1}, {Qt::Key_Down, 1},
        {Qt::Key_Left, 0}, {Qt::Key_Down, 2},  {Qt::Key_Right, 2}, {Qt::Key_Up, 0}};
    for (const auto& [key, expected] : moves) {
        QTest::keyClick(&grid, key);
        EXPECT_EQ(grid.Current(), expected) << "after key " << key;
    }
    QTest::keyClick(&grid, Qt::Key_Down);
    QTest::keyClick(&grid, Qt::Key_Return);
    QTest::mouseDClick(&grid, Qt::LeftButton, {}, grid.TileRect(1).center());
    EXPECT_EQ(opened, (std::vector<int>{2, 1}));
    EXPECT_EQ(grid.Current(), 1);
}

TEST(GridOptionTest, CamerasListsAllOrCountsSimulatedOnes) {
    const auto parse = [](std::vector<std::string> words, std::string& error) {
        words.insert(words.begin(), "kestrixview");
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        return CKestrixViewApp::Parse(int(argv.size()), argv.data(), error);
    };
    std::string error;
    auto options = parse({"--simulate", "--cameras", "2"}, error);
    ASSERT_TRUE(options) << error;
    EXPECT_TRUE(options->grid);
    EXPECT_EQ(options->cameras, (std::vector<int>{0, 1}));
    EXPECT_EQ(options->simulatedCameras, 2);
    options = parse({"--cameras=2"}, error);
    EXPECT_EQ(options->cameras, (std::vector<int>{2})) << "without --simulate, a camera number";
    options = parse({"--cameras", "3,1", "--simulate"}, error);
    EXPECT_EQ(options->cameras, (std::vector<int>{3, 1}));
    EXPECT_EQ(options->simulatedCameras, 4);
    options = parse({"--cameras", "all"}, error);
    EXPECT_TRUE(options->grid && options->cameras.empty());
    for (const char* bad : {"1,1", "0,", "64", "0x02CA3E0000010001", ""}) {
        EXPECT_FALSE(parse({"--cameras", bad}, error)) << bad;
        EXPECT_EQ(error, std::string("--cameras ") + bad +
                             ": give all, or camera numbers from 0 to 63 separated by commas, "
                             "each once");
    }
    EXPECT_FALSE(parse({"--camera", "1", "--cameras", "all"}, error));
    EXPECT_EQ(error, "--camera and --cameras exclude each other: one camera or the grid");
}

// A grid window on a private bus of two cameras, with its own runtime folder for the locks.
class GridWindowTest : public ::testing::Test {
protected:
    // One runtime folder for the suite: the camera library fixes its place at first use.
    static void SetUpTestSuite() {
        s_runtime = std::make_unique<testsupport::TempDir>("kestrix-grid-runtime");
        ::setenv("XDG_RUNTIME_DIR", s_runtime->Path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", s_runtime->Path().c_str(), 1);
    }
    static void TearDownTestSuite() { s_runtime.reset(); }

    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        MakeGrid();
    }
    void MakeGrid() {
        m_frame = std::make_unique<CGridFrame>(
            std::vector<int>{}, m_prompts,
            [this](int camera, qint64& pid) { return Open(camera, pid); });
        ASSERT_TRUE(m_frame->Create());
        m_frame->show();
        ASSERT_EQ(m_frame->Session().Count(), 2u);
    }

    void TearDown() override {
        m_window.reset();
        m_frame.reset();
    }

    bool Open(int camera, qint64& pid) {
        m_opened.push_back(camera);
        m_window = std::make_unique<viewertest::ViewerProcess>(
            std::vector<std::string>{"--camera", std::to_string(camera)});
        pid = m_window->Pid();
        return pid > 0;
    }
    CCameraGrid& Grid() { return *m_frame->Grid(); }
    bool Showing(int tile) {
        return !Grid().PictureRect(tile).isEmpty() && Grid().At(tile).notice.isEmpty();
    }
    // New pictures reached the tile: its display counted more of them.
    bool PicturesMove(int tile) {
        const std::uint64_t before =
            m_frame->Session().At(std::size_t(tile)).pipeline->FramesShown();
        return WaitFor([&] {
            return m_frame->Session().At(std::size_t(tile)).pipeline->FramesShown() > before + 2;
        });
    }
    void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(&Grid(), key, modifiers);
    }

    viewertest::PrivateSettings m_settings;
    static std::unique_ptr<testsupport::TempDir> s_runtime;
    testsupport::SimulatedBus m_bus{2};
    std::shared_ptr<viewertest::ScriptedPrompts> m_prompts =
        std::make_shared<viewertest::ScriptedPrompts>();
    std::vector<int> m_opened;
    std::unique_ptr<viewertest::ViewerProcess> m_window;
    std::unique_ptr<CGridFrame> m_frame;
};

std::unique_ptr<testsupport::TempDir> GridWindowTest::s_runtime;

TEST_F(GridWindowTest, ShowsEveryCameraWithItsCaptionAndHoldsItsLock) {
    for (int tile = 0; tile < 2; ++tile) {
        ASSERT_TRUE(WaitFor([&] { return Showing(tile); })) << "tile " << tile;
        const kestrix::session::CameraInfo& info = m_frame->Session().At(std::size_t(tile)).info;
        const std::string guid = info.GuidText();
        ASSERT_TRUE(WaitFor([&] {
            return Grid().At(tile).caption.value(1).contains(
                QRegularExpression(" [1-9][0-9.]* fps"));
        })) << Grid().At(tile).caption.join(" | ").toStdString();
        const QStringList caption = Grid().At(tile).caption;
        EXPECT_EQ(caption.value(0), QString("%1: %2 · %3")
                                        .arg(tile)
                                        .arg(QString::fromStdString(info.model),
                                             QString::fromStdString(guid.substr(8))));
        EXPECT_TRUE(caption.value(1).startsWith("640x480/rgb/15fps · "))
            << caption.value(1).toStdString();
        EXPECT_TRUE(caption.value(1).contains(QRegularExpression(" · drops \\d+$")));
        // No second copy opens it, under its number or its GUID.
        EXPECT_FALSE(SingleInstance(SingleInstance::CameraKey(tile)).Claim());
        EXPECT_FALSE(SingleInstance(SingleInstance::CameraKey(tile, info.guid)).Claim());
    }
    // A second copy for one of them brings the grid to the front and ends.
    viewertest::ViewerProcess second({"--camera", "1"});
    int status = -1;
    EXPECT_TRUE(WaitFor([&] { return (status = second.Wait(0ms)) != -1; }, 15s));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(m_prompts->messages, std::vector<QString>{});
}

TEST_F(GridWindowTest, StartsStopsAndRecordsEveryCameraAtOnce) {
    ASSERT_TRUE(WaitFor([&] { return Showing(0) && Showing(1); }));
    Key(Qt::Key_Down, Qt::ControlModifier);
    EXPECT_FALSE(m_frame->Session().Running());
    EXPECT_TRUE(Grid().At(1).caption.value(1).endsWith(" · stopped"));
    EXPECT_TRUE(Showing(0)) << "the last picture stays";
    Key(Qt::Key_Up, Qt::ControlModifier);
    ASSERT_TRUE(m_frame->Session().Running()) << m_frame->Session().Problem().toStdString();
    ASSERT_TRUE(PicturesMove(0) && PicturesMove(1));

    testsupport::TempDir folder{"kestrix-grid-record"};
    m_prompts->fileAnswers.push_back(QString::fromStdString((folder.Path() / "run.avi").string()));
    Key(Qt::Key_R, Qt::ControlModifier);
    ASSERT_TRUE(m_frame->Session().Recording()) << m_prompts->messages.size();
    ASSERT_TRUE(WaitFor([&] { return Grid().At(1).caption.value(1).endsWith(" · REC"); }));
    ASSERT_TRUE(PicturesMove(0) && PicturesMove(1));
    Key(Qt::Key_R, Qt::ControlModifier);
    EXPECT_FALSE(m_frame->Session().Recording());
    for (const char* name : {"run-0.avi", "run-1.avi"})
        EXPECT_GT(viewertest::ProbeFrames(folder.Path() / name), 0) << name;
    // Each frame set pairs both cameras, and each file has its frame log.
    std::ifstream sets(folder.Path() / "run.sync.csv");
    std::string line;
    std::getline(sets, line);
    EXPECT_EQ(line, "set,cycle_time,camera0,camera1");
    int rows = 0;
    for (; std::getline(sets, line); ++rows) EXPECT_EQ(line.find(",,"), std::string::npos) << line;
    EXPECT_GT(rows, 0);
    EXPECT_TRUE(std::filesystem::exists(folder.Path() / "run-1.avi.csv"));

    // The same names again are not written over unasked.
    m_prompts->fileAnswers.push_back(
        QString::fromStdString((folder.Path() / "run-{camera}.avi").string()));
    Key(Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(m_prompts->questions, std::vector<QString>{"run-0.avi, run-1.avi exist. Replace?"});
    EXPECT_FALSE(m_frame->Session().Recording());
}

TEST_F(GridWindowTest, TileOpensInItsOwnWindowAndComesBackWhenThatCloses) {
    ASSERT_TRUE(WaitFor([&] { return Showing(0) && Showing(1); }));
    Key(Qt::Key_Right);
    Key(Qt::Key_Return);
    ASSERT_EQ(m_opened, std::vector<int>{1});
    EXPECT_TRUE(Grid().At(1).notice.startsWith("Camera 1 is open in its own window"));
    // The window holds camera 1's lock; the grid goes on with camera 0.
    EXPECT_TRUE(WaitFor([&] { return !SingleInstance(SingleInstance::CameraKey(1)).Claim(); }));
    EXPECT_TRUE(PicturesMove(0));
    EXPECT_FALSE(m_frame->Session().At(1).stream);

    m_window->Signal(SIGTERM);
    ASSERT_NE(m_window->Wait(10s), -1);
    ASSERT_TRUE(WaitFor([&] { return Showing(1); })) << Grid().At(1).notice.toStdString();
    EXPECT_TRUE(PicturesMove(1));
    EXPECT_FALSE(SingleInstance(SingleInstance::CameraKey(1)).Claim()) << "the grid holds it again";
    EXPECT_EQ(m_prompts->messages, std::vector<QString>{});
}

TEST_F(GridWindowTest, CameraAnotherProgramHoldsSaysSoWhileTheOtherStreams) {
    const kestrix::session::CameraInfo info = m_frame->Session().At(1).info;
    m_frame.reset();
    CameraLock other;
    std::string error;
    ASSERT_EQ(other.Take(info.path, info.guid, error), CameraLock::Result::Taken) << error;
    MakeGrid();
    EXPECT_EQ(Grid().At(1).notice, "The camera is in use by another program.");
    EXPECT_TRUE(WaitFor([&] { return Showing(0); }));
    EXPECT_TRUE(PicturesMove(0));
    EXPECT_EQ(m_prompts->messages, std::vector<QString>{});
}

}  // namespace
