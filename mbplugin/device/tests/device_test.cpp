// The plug-in library as the host sees it: registrations, the device's operations, the hand it
// writes and the keys it records, against kelbsim through the real device manager.

#include <array>
#include <atomic>
#include <cmath>
#include <thread>

#include "hostsupport.hpp"

using namespace hostsupport;

namespace {

// Independent of the SDK layer's maths: 3x3 matrices acting on column vectors.
using M3 = std::array<std::array<double, 3>, 3>;

M3 mul(const M3& a, const M3& b) {
    M3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r[i][j] += a[i][k] * b[k][j];
    return r;
}
M3 transpose(const M3& a) {
    M3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r[i][j] = a[j][i];
    return r;
}
M3 axis(int which, double degrees) {
    double c = std::cos(degrees * M_PI / 180), s = std::sin(degrees * M_PI / 180);
    if (which == 0)
        return {{{1, 0, 0}, {0, c, -s}, {0, s, c}}};
    if (which == 1)
        return {{{c, 0, s}, {0, 1, 0}, {-s, 0, c}}};
    return {{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
}
// X applies first, then Y, then Z.
M3 euler(const Triple& e) {
    return mul(axis(2, e[2]), mul(axis(1, e[1]), axis(0, e[0])));
}
std::array<double, 3> cross(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The middle thumb joint's roll from the thumb base's written rotation: the base frame seen
// through the axis permutation P (x to y, y to -z, z to -x), measured against the reference.
double expectedThumbRoll(const Triple& thumbBase, double side) {
    const M3 p = {{{0, 0, -1}, {1, 0, 0}, {0, -1, 0}}};
    M3 m = mul(p, mul(euler(thumbBase), transpose(p)));
    std::array<double, 3> a = m[0], b = m[1];
    double k = side / std::sqrt(62.0);
    auto n = cross({7 * k, 3 * k, -2 * k}, b);
    double len = std::sqrt(dot(n, n));
    for (double& v : n)
        v /= len;
    double theta = std::acos(std::clamp(dot(n, a), -1.0, 1.0)) * 180 / M_PI;
    return dot(cross(a, n), b) < 0 ? -theta : theta;
}

std::string scriptFile(const TempDir& dir) {
    // Every sensor byte moves, out of step with the others.
    std::string text;
    for (int line = 0; line < 600; ++line) {
        for (int s = 0; s < 24; ++s)
            text += std::to_string(40 + (line * 7 + s * 13) % 180) + " ";
        text += "\n";
    }
    return dir.write("moves.txt", text);
}

class Device : public Host {
  protected:
    // A started device on kelbsim (right hand unless `left`), glove chosen by the layout.
    void startOnKelbsim(bool left = false) {
        std::vector<std::string> extra = {"--script", scriptFile(dir)};
        if (left)
            extra.push_back("--left");
        sim = std::make_unique<testsupport::Simulator>(KELBSIM_PATH, link, extra);
        ASSERT_TRUE(sim->ready()) << "kelbsim did not start";
        useRegistry(sampleRegistry(link));
        makeDevice();
        openLayout();
        ASSERT_TRUE(FBHost::setOnline(dev(), true)) << dev().Information.Get().c_str();
        ASSERT_EQ(dev().Status.Get(), "Ok");
    }
    // Steps frames until the glove's values reach the device (real time passes between them).
    void stepUntilMoving(int& frame) {
        Triple rest = rotation("indexB");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (rotation("indexB") == rest && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            step(frame++);
        }
        ASSERT_NE(rotation("indexB"), rest) << "the glove's values never arrived";
    }
    std::unique_ptr<testsupport::Simulator> sim;
};

}  // namespace

TEST_F(Device, RegistersItsThreeEntriesOncePerProcess) {
    Plugin& plugin = Plugin::get();
    ASSERT_NE(plugin.entry, nullptr);
    plugin.entry(kFBDllLoad);
    plugin.entry(kFBDllLoad);
    FBLibrary* library = plugin.init();
    EXPECT_TRUE(library->LibInit() && library->LibOpen() && library->LibReady() &&
                library->LibClose() && library->LibRelease());

    const char* description = "Tessaline Manuvia(R) for MOTIONBUILDER";
    struct Row {
        const char *group, *name, *description, *icon;
    };
    const Row expected[] = {
        {"Boxes/Devices", "Manuvia", description, "devices_MCHand.tif"},
        {"FbxStorable/Device", "ORDeviceManuvia", description, "devices_MCHand.tif"},
        {"UI_Associated_ClassName", "ORDeviceManuvia", "ORDeviceManuvia Device Layout",
         "openreality_noicon.png"},
    };
    auto table = FBHost::registrations();
    ASSERT_EQ(table.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(table[i].group, expected[i].group);
        EXPECT_EQ(table[i].name, expected[i].name);
        EXPECT_EQ(table[i].description, expected[i].description);
        EXPECT_EQ(table[i].icon, expected[i].icon);
        EXPECT_TRUE(table[i].visible);
    }
}

TEST_F(Device, CreatedDeviceIsAHandOfTemplatesWithTwoOutputsPerJoint) {
    FBDevice& d = makeDevice();
    EXPECT_STREQ(d.ClassName(), "ORDeviceManuvia");
    EXPECT_TRUE(d.Is(FBDevice::TypeInfo) && d.Is(FBBox::TypeInfo) && d.Is(FBComponent::TypeInfo));
    EXPECT_TRUE(d.IsAllocatedBySDK());
    EXPECT_EQ(d.SamplingPeriod.Get(), FBTime::Frame(60));
    EXPECT_EQ(d.IconFilename.Get(), "devices_MCHand.tif");

    ASSERT_EQ(d.ModelTemplate.GetCount(), 1);
    FBModelTemplate* root = d.ModelTemplate[0];
    EXPECT_EQ(root->GetFullName(), "Manuvia:hand");
    EXPECT_EQ(root->Type, kFBModelTemplateSkeleton);
    ASSERT_EQ(root->Children.GetCount(), 1);
    FBModelTemplate* palm = root->Children[0];
    ASSERT_EQ(palm->Children.GetCount(), 5);
    // Each digit is a chain of four under the palm, its tip last.
    const char* digits[5][4] = {{"thumbA", "thumbB", "thumbC", "thumbD"},
                                {"indexA", "indexB", "indexC", "indexD"},
                                {"middleA", "middleB", "middleC", "middleD"},
                                {"ringA", "ringB", "ringC", "ringD"},
                                {"littleA", "littleB", "littleC", "littleD"}};
    for (int f = 0; f < 5; ++f) {
        FBModelTemplate* t = palm->Children[f];
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(t->Name, digits[f][j]);
            EXPECT_EQ(t->Type, kFBModelTemplateJoint);
            ASSERT_EQ(t->AnimationNodes.GetCount(), 2);
            int row = 1 + 4 * f + j;
            EXPECT_EQ(t->AnimationNodes[0]->GetUserId(), 2 * row);
            EXPECT_STREQ(t->AnimationNodes[1]->GetDataType(), ANIMATIONNODE_TYPE_LOCAL_ROTATION);
            ASSERT_EQ(t->Children.GetCount(), j < 3 ? 1 : 0);
            if (j < 3)
                t = t->Children[0];
        }
    }
    EXPECT_EQ(d.GetAnimationNodeCount(), 42);
}

TEST_F(Device, StartWithoutGloveFailsAndTheHandStaysAtRest) {
    FBDevice& d = makeDevice();
    EXPECT_FALSE(FBHost::setOnline(d, true));
    EXPECT_EQ(d.Status.Get(), "Could not Initialize");
    EXPECT_EQ(d.Information.Get(), "Invalid Glove device");
    // No glove: nothing read, no sample acknowledged, rest pose written.
    EXPECT_EQ(step(0), 0);
    struct Rest {
        const char* templ;
        Triple translation, rotation;
    };
    const Rest rests[] = {
        {"palm", {0, 0, 0}, {0, 0, 0}},
        {"thumbA", {3.4, 1.0, 2.5}, {171.8695649837, -89.181779177696, -179.99883239408}},
        {"ringA", {9.8, 0, -2.2}, {0, 11.30993247402, 0}},
        {"littleD", {2.3478713763748, 0, 0}, {0, 0, 0}},
    };
    for (const Rest& r : rests) {
        EXPECT_EQ(translation(r.templ), r.translation) << r.templ;
        EXPECT_EQ(rotation(r.templ), r.rotation) << r.templ;
    }
    EXPECT_TRUE(d.DeviceOperation(kOpInit));
    EXPECT_FALSE(d.DeviceOperation(kOpDone));
    auto progress = FBHost::progressBoxes();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().caption, "Manuvia/Filmbox");
    EXPECT_EQ(progress.back().text, "Initializing device...");
}

TEST_F(Device, RefusedGloveIsForgottenAndTheSceneSaysNoGlove) {
    useRegistry(sampleRegistry("/tmp/mbnone-" + std::to_string(::getpid())));
    FBDevice& d = makeDevice();
    openLayout();
    EXPECT_FALSE(FBHost::setOnline(d, true));
    EXPECT_EQ(d.Status.Get(), "Could not Initialize");
    EXPECT_EQ(d.Information.Get(), "Could not open device");
    EXPECT_FALSE(FBHost::setOnline(d, true));
    EXPECT_EQ(d.Information.Get(), "Invalid Glove device");

    FBHost::SceneObject stored = FBHost::storeDevice(d);
    auto reread = FBHost::readScene(FBHost::writeScene({stored}));
    ASSERT_EQ(reread.size(), 1u);
    FBFbxObject& fields = reread[0].fields;
    EXPECT_EQ(fields.FieldReadI("Version"), 100);
    ASSERT_TRUE(fields.FieldReadBegin("Configuration"));
    EXPECT_STREQ(fields.FieldReadC(), "Simulated");
    EXPECT_STREQ(fields.FieldReadC(), "No Glove");
}

TEST_F(Device, GloveDrivesBoundJointsOnlyWhileEnabledAndPresent) {
    startOnKelbsim();
    int frame = 0;
    stepUntilMoving(frame);
    // "Index MCJ" switched off in the layout keeps its rest rotation; the tips never move.
    ASSERT_TRUE(spread().HostEdit(5, 0, 0));
    step(frame++);
    EXPECT_EQ(rotation("indexA"), (Triple{0, -6.483073692897, 0}));
    EXPECT_NE(rotation("middleA"), (Triple{0, 4.9697407281103, 0}));
    for (const char* tip : {"thumbD", "indexD", "middleD", "ringD", "littleD"})
        EXPECT_EQ(rotation(tip), (Triple{0, 0, 0})) << tip;
    // A stopped (disconnected) glove gives the rest pose again.
    FBHost::setOnline(dev(), false);
    EXPECT_EQ(dev().Status.Get(), "?");
    EXPECT_EQ(dev().Information.Get(), "Stopping data stream");
    step(frame++);
    EXPECT_EQ(rotation("middleA"), (Triple{0, 4.9697407281103, 0}));
}

class ThumbByHand : public Device, public ::testing::WithParamInterface<bool> {};

TEST_P(ThumbByHand, ThumbFrameAndMiddleThumbRollMatchAnIndependentDerivation) {
    bool left = GetParam();
    startOnKelbsim(left);
    double side = left ? -1.0 : 1.0;
    int frame = 0;
    stepUntilMoving(frame);
    // Rest values of a left hand are mirrored: Z, X and Y rotations negated.
    EXPECT_EQ(translation("ringA")[2], -2.2 * side);
    Triple thumbRest = {171.8695649837 * side, -89.181779177696 * side, -179.99883239408};
    for (int i = 0; i < 20; ++i, ++frame) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        step(frame);
        Triple base = rotation("thumbA");
        // The base adds rotations about Y and Z only to its rest rotation.
        M3 added = mul(transpose(euler(thumbRest)), euler(base));
        EXPECT_NEAR(added[2][1], 0.0, 1e-9);
        // The middle joint is the roll about X, then its own bend about Z.
        M3 bend = mul(transpose(axis(0, expectedThumbRoll(base, side))), euler(rotation("thumbB")));
        EXPECT_NEAR(bend[2][2], 1.0, 1e-9);
        EXPECT_NEAR(bend[0][2], 0.0, 1e-9);
        EXPECT_NEAR(bend[2][0], 0.0, 1e-9);
        Triple palm = rotation("palm");
        EXPECT_EQ(palm[0], 0.0);
    }
    if (left) {
        FBHost::setOnline(dev(), false);
        step(frame);
        EXPECT_EQ(translation("ringA"), (Triple{9.8, 0, 2.2}));
        EXPECT_EQ(rotation("ringA")[1], -11.30993247402);
    }
}

INSTANTIATE_TEST_SUITE_P(Hands, ThumbByHand, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Left" : "Right"; });

TEST_F(Device, KeysFollowTransportAndSamplingMode) {
    startOnKelbsim();
    struct Case {
        FBTransportMode transport;
        FBDeviceSamplingMode sampling;
        bool keys, timed;
    };
    const Case cases[] = {{kFBTransportPlay, kFBHardwareTimestamp, true, true},
                          {kFBTransportPlay, kFBSoftwareTimestamp, true, true},
                          {kFBTransportPlay, kFBHardwareFrequency, true, false},
                          {kFBTransportPlay, kFBAutoFrequency, true, false},
                          {kFBTransportStop, kFBHardwareTimestamp, false, false}};
    FBAnimationNode* ringRotation =
        dev().FindAnimationNode("ringB", ANIMATIONNODE_TYPE_LOCAL_ROTATION);
    FBAnimationNode* tip = dev().FindAnimationNode("ringD", ANIMATIONNODE_TYPE_LOCAL_ROTATION);
    FBHost::setRecording(dev(), true);
    const int frames = 12;
    for (const Case& c : cases) {
        FBHost::clearRecordedKeys(dev());
        FBHost::setTransportMode(c.transport);
        dev().SamplingMode = c.sampling;
        kFBLongLong acked = 0;
        for (int i = 0; i < frames; ++i)
            acked += step(100 + i);
        EXPECT_EQ(acked, frames);
        auto keys = FBHost::recordedKeys(*ringRotation);
        ASSERT_EQ(keys.size(), c.keys ? std::size_t(frames) : 0u) << c.sampling;
        for (int i = 0; i < static_cast<int>(keys.size()); ++i) {
            EXPECT_EQ(keys[i].timed, c.timed);
            EXPECT_EQ(keys[i].time, dev().SamplingPeriod.Get() * (100 + i));
            EXPECT_EQ(keys[i].value.size(), 3u);
        }
        EXPECT_TRUE(FBHost::recordedKeys(*tip).empty());
    }
}

TEST_F(Device, ResetReconnectsAndRebindsAndTheSceneKeepsTheGlove) {
    startOnKelbsim();
    FBHost::clearBoxes();
    EXPECT_TRUE(FBHost::deviceOperation(dev(), kOpReset));
    EXPECT_EQ(dev().Status.Get(), "Ok");
    EXPECT_EQ(dev().HardwareVersionInformation.Get(), "RightGlove");
    ASSERT_FALSE(FBHost::progressBoxes().empty());
    EXPECT_EQ(FBHost::progressBoxes()[0].caption, "Shutting down device");
    int frame = 0;
    stepUntilMoving(frame);

    // Stored and given to a fresh device, the names come back and its layout picks them.
    std::string scene = dir.path() + "/take.scene";
    FBHost::saveScene(scene, {FBHost::storeDevice(dev())});
    auto objects = FBHost::loadScene(scene);
    ASSERT_EQ(objects.size(), 1u);
    FBHost::ComponentPtr other = FBHost::create("FbxStorable/Device", "ORDeviceManuvia");
    auto& second = *dynamic_cast<FBDevice*>(other.get());
    EXPECT_TRUE(FBHost::retrieveDevice(second, objects[0]));
    FBHost::ComponentPtr secondLayout = FBHost::createLayout(second);
    FBFbxObject fields = FBHost::storeDevice(second).fields;
    ASSERT_TRUE(fields.FieldReadBegin("Configuration"));
    EXPECT_STREQ(fields.FieldReadC(), "Simulated");
    EXPECT_STREQ(fields.FieldReadC(), "RightGlove");
}

TEST_F(Device, IoAndEvaluationOnTheirOwnThreadsSurviveResets) {
    startOnKelbsim();
    std::atomic<bool> stop{false};
    std::atomic<long> evaluations{0};
    std::thread io([&] {
        for (int i = 0; i < 100000 && !stop.load(); ++i) {
            FBHost::deviceIO(dev(), kIOPlayModeWrite, FBTime::Frame(60) * i);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::thread evaluation([&] {
        for (int i = 0; i < 100000 && !stop.load(); ++i) {
            FBHost::evaluate(dev(), FBTime::Frame(60) * i);
            evaluations.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    for (int r = 0; r < 3; ++r)
        EXPECT_TRUE(FBHost::deviceOperation(dev(), kOpReset));
    stop.store(true);
    io.join();
    evaluation.join();
    EXPECT_GT(evaluations.load(), 0);
    for (int i = 0; i < dev().GetAnimationNodeCount(); ++i)
        for (double v : dev().GetAnimationNode(i)->LastWritten())
            EXPECT_TRUE(std::isfinite(v));
}
