// Every camera operation in every state of the camera's state machine, each with the exact
// outcome: the operations that fit the state work, the others fail with WrongState, and those
// of a camera gone from the bus with NotFound.
#include "session/Camera.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace kestrix::session;
using Kind = Error::Kind;
using State = Camera::State;

constexpr Kind kOk = Kind::None;

class CameraStates : public ::testing::Test {
protected:
    CameraStates() : m_bus(cameratest::BusOptions(1, cameratest::RateScale(1))) {}

    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        Error error;
        m_manager = CameraManager::Create(CameraManager::Threading::CallerThread, error);
        ASSERT_TRUE(m_manager) << error.Message();
    }

    // A camera brought into state.
    std::shared_ptr<Camera> InState(State state) {
        Error error;
        auto camera = m_manager->Acquire(CameraPick{}, error);
        EXPECT_TRUE(camera) << error.Message();
        if (!camera) return nullptr;
        if (state == State::Released) camera->Release();
        if (state == State::Configured || state == State::Streaming) {
            EXPECT_FALSE(camera->Configure(Config(*camera)));
        }
        if (state == State::Streaming) {
            EXPECT_FALSE(camera->Start(m_stream));
        }
        if (state == State::Lost) {
            cameratest::Busctl(m_bus, {"remove", "0"});
            EXPECT_TRUE(cameratest::PumpUntil([&] { return camera->GetState() == State::Lost; }));
        }
        EXPECT_EQ(camera->GetState(), state);
        return camera;
    }

    StreamConfig Config(Camera& camera) {
        StreamConfig config;
        EXPECT_FALSE(camera.FindMode("640x480-mono8", config.mode));
        config.ring = RingSize::Frames(4);
        return config;
    }

    testsupport::SimulatedBus m_bus;
    std::shared_ptr<CameraManager> m_manager;
    std::shared_ptr<FrameStream> m_stream;
};

TEST_F(CameraStates, EveryOperationInEveryState) {
    const StreamConfig config = [&] {
        auto camera = InState(State::Acquired);
        return camera ? Config(*camera) : StreamConfig{};
    }();
    using Op = std::function<Error(Camera&)>;
    const std::map<std::string, Op> ops{
        {"Modes", [](Camera& c) { std::vector<ModeOffer> m; return c.Modes(m); }},
        {"Features", [](Camera& c) { std::vector<Feature> f; return c.Features(f); }},
        {"SetFeature", [](Camera& c) { return c.SetFeature("brightness=200"); }},
        {"Configure", [&](Camera& c) { return c.Configure(config); }},
        {"Start", [&](Camera& c) { return c.Start(m_stream); }},
        {"SetTransmission", [](Camera& c) { return c.SetTransmission(false); }},
        {"Stop", [](Camera& c) { return c.Stop(); }},
    };
    // Rows: Acquired, Configured, Streaming, Lost, Released.
    const std::map<std::string, std::array<Kind, 5>> expected{
        {"Modes", {kOk, kOk, kOk, Kind::NotFound, Kind::WrongState}},
        {"Features", {kOk, kOk, kOk, Kind::NotFound, Kind::WrongState}},
        {"SetFeature", {kOk, kOk, kOk, Kind::NotFound, Kind::WrongState}},
        {"Configure", {kOk, kOk, Kind::WrongState, Kind::WrongState, Kind::WrongState}},
        {"Start", {Kind::WrongState, kOk, Kind::WrongState, Kind::WrongState, Kind::WrongState}},
        {"SetTransmission",
         {Kind::WrongState, Kind::WrongState, kOk, Kind::WrongState, Kind::WrongState}},
        {"Stop", {Kind::WrongState, Kind::WrongState, kOk, Kind::WrongState, Kind::WrongState}},
    };
    // Lost last: the unplug takes the camera away for good.
    const std::array states{State::Acquired, State::Configured, State::Streaming,
                            State::Released, State::Lost};
    for (const State state : states) {
        std::shared_ptr<Camera> lost;  // one unplug serves every operation: it stays gone
        for (const auto& [name, op] : ops) {
            auto camera = state != State::Lost ? InState(state) : lost ? lost : lost = InState(state);
            ASSERT_TRUE(camera);
            const Error error = op(*camera);
            EXPECT_EQ(error.GetKind(), expected.at(name)[std::size_t(state)])
                << name << " while " << Camera::StateName(state) << ": " << error.Message();
            if (error) {
                EXPECT_EQ(camera->GetState(), state) << name << " changed the state";
            }
        }
        m_stream.reset();
    }
}

TEST_F(CameraStates, ASecondClaimIsRefusedUntilTheFirstLetsGo) {
    auto first = InState(State::Acquired);
    Error error;
    EXPECT_FALSE(m_manager->Acquire(CameraPick{}, error));
    EXPECT_EQ(error.GetKind(), Kind::InUse);
    first->Release();
    EXPECT_TRUE(m_manager->Acquire(CameraPick{}, error));
    EXPECT_FALSE(m_manager->Acquire(CameraPick{5, {}}, error));
    EXPECT_EQ(error.GetKind(), Kind::NotFound);
    EXPECT_FALSE(m_manager->Acquire(*CameraPick::Parse("0x0123456789abcdef"), error));
    EXPECT_EQ(error.Message(), "no camera with GUID 0123456789abcdef on the bus");
}

// A camera found without its claim works beside the one who holds it, but never streams.
TEST_F(CameraStates, AFoundCameraSetsFeaturesBesideTheClaimButCannotStream) {
    auto claimed = InState(State::Configured);
    ASSERT_TRUE(claimed);
    Error error;
    auto found = m_manager->Find(CameraPick{}, error);
    ASSERT_TRUE(found) << error.Message();
    EXPECT_FALSE(found->Claimed());
    EXPECT_FALSE(found->SetFeature("brightness=200"));
    Feature brightness;
    EXPECT_FALSE(claimed->GetFeature("brightness", brightness));
    EXPECT_EQ(brightness.value, 200u);
    EXPECT_EQ(found->Configure(claimed->Config()).GetKind(), Kind::WrongState);
    found->Release();
    EXPECT_TRUE(claimed->Claimed()) << "the found camera's release let the claim go";
}

}  // namespace
