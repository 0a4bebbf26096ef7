// The device's settings panel as data: its regions and captions, the registry cases it
// reports, the glove choice and the joint spreadsheet.

#include <thread>

#include "hostsupport.hpp"

using namespace hostsupport;

namespace {

class Layout : public Host {
  protected:
    FBList& gloves() { return *control<FBList>(selectionLayout(), "ListDevice"); }
    FBList& configurations() { return *control<FBList>(selectionLayout(), "ListConfiguration"); }
    std::string hostLabel() {
        return control<FBLabel>(selectionLayout(), "LabelHost")->Caption.Get().str();
    }
    std::pair<std::string, std::string> storedNames() {
        FBFbxObject fields = FBHost::storeDevice(dev()).fields;
        fields.FieldReadBegin("Configuration");
        std::string config = fields.FieldReadC();
        return {config, fields.FieldReadC()};
    }
};

const char* kGloveEntry = R"({"Type": "vexaglove", "DeviceManager": {"ServerAddress": "%s",
    "ServerPort": 0, "SerialPort": "/tmp/mbnowhere", "BaudRate": 115200}})";

std::string gloveEntry(const char* address) {
    char text[512];
    std::snprintf(text, sizeof text, kGloveEntry, address);
    return text;
}

}  // namespace

TEST_F(Layout, PanelRegionsCaptionsAndSpreadsheet) {
    useRegistry(sampleRegistry(link));
    makeDevice();
    FBDeviceLayout& l = openLayout();
    EXPECT_EQ(l.GetRegionNames(), (std::vector<std::string>{"TabPanel", "MainLayout"}));
    const FBRegion* main = l.GetRegion("MainLayout");
    ASSERT_TRUE(main && main->hasBorder);
    EXPECT_EQ(main->x.relative, "TabPanel");
    EXPECT_EQ(main->y.type, kFBAttachBottom);
    EXPECT_EQ(main->height.value, -5);
    EXPECT_EQ(main->border.style, kFBStandardBorder);
    EXPECT_FALSE(main->border.title || main->border.header);
    EXPECT_EQ(main->border.margin, 1);
    EXPECT_EQ(main->border.cornerRadius, 90.0f);

    auto* tabs = control<FBTabPanel>(l, "TabPanel");
    ASSERT_EQ(tabs->Items.GetCount(), 2);
    EXPECT_STREQ(tabs->Items[1], "Device Selection");
    FBLayout& selection = selectionLayout();
    EXPECT_EQ(control<FBButton>(selection, "ButtonRefresh")->Caption.Get(),
              "Refresh from Device Registry");
    EXPECT_EQ(control<FBLabel>(selection, "LabelConfiguration")->Caption.Get(), "Configuration:");
    EXPECT_EQ(control<FBLabel>(selection, "LabelDevice")->Caption.Get(), "VexaGlove:");
    EXPECT_EQ(hostLabel(), "Host: localhost");
    EXPECT_EQ(selection.GetRegion("ListDevice")->y.relative, "LabelDevice");
    EXPECT_FALSE(tabs->HostSelect(2));

    FBSpread& s = spread();
    EXPECT_EQ(s.GetColumn(-1).Width, 100);
    const char* captions[] = {"Enabled", "Rx", "Ry", "Rz"};
    ASSERT_EQ(s.GetColumnCount(), 4);
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(s.GetColumn(c).Caption, captions[c]);
        EXPECT_EQ(s.GetColumn(c).Style, c == 0 ? kFBCellStyle2StatesButton : kFBCellStyleDouble);
    }
    // Tips have no row; rows refer to the joint's index.
    ASSERT_EQ(s.GetRowCount(), 16);
    EXPECT_EQ(s.GetRowAt(1).Caption, "Thumb MCJ");
    EXPECT_EQ(s.GetRowAt(4).Reference, 5);
    EXPECT_FALSE(s.HasRow(4));
    int enabled = 0;
    s.GetCell(5, 0, enabled);
    EXPECT_EQ(enabled, 1);
    EXPECT_FALSE(s.HostEdit(5, 1, 1.0));
    EXPECT_FALSE(s.HostEdit(5, 2, 1.0));
    EXPECT_TRUE(s.HostEdit(5, 3, 1.0));
}

TEST_F(Layout, RegistryProblemsAreReportedAndLeaveTheListsAsFilled) {
    struct Case {
        const char* name;
        std::string registry;  // empty: no file at all
        const char* message;
        int configurations;
    };
    const Case cases[] = {
        {"missing", "", "You must establish a device registry before using this plug-in.", 0},
        {"malformed", "{\"Configurations\": {",
         "You must establish a device registry before using this plug-in.", 0},
        {"empty", R"({"Configurations": {}})",
         "Unable to detetect any configurations in your device registry.", 0},
        {"trackers only",
         R"({"Configurations": {"Lab": {"DefaultFlag": 1, "Tracker": {"Type": "vicon",
              "ViconTransport": {"ServerAddress": "127.0.0.1"}}}}})",
         "Unable to detect any VexaGloves in your device registry.", 1},
    };
    for (const Case& c : cases) {
        FBHost::clearBoxes();
        if (c.registry.empty())
            ::setenv("MANUVIA_REGISTRY", (dir.path() + "/absent.json").c_str(), 1);
        else
            useRegistry(c.registry);
        makeDevice();
        openLayout();
        EXPECT_EQ(messages(),
                  (std::vector<std::string>{std::string("Device Registry Error.|") + c.message}))
            << c.name;
        EXPECT_EQ(configurations().Items.GetCount(), c.configurations) << c.name;
        EXPECT_EQ(gloves().Items.GetCount(), 0) << c.name;
        layout.reset();
        device.reset();
    }
}

TEST_F(Layout, GloveItemWithoutADeviceObjectIsLikeANonGloveItem) {
    // The first glove cannot be made (no connection); the list still shows it.
    useRegistry(std::string(R"({"Configurations": {"Pair": {"DefaultFlag": 1,
        "Broken": {"Type": "vexaglove"}, "Good": )") +
                gloveEntry("127.0.0.9") + "}}}");
    makeDevice();
    openLayout();
    ASSERT_EQ(gloves().Items.GetCount(), 2);
    EXPECT_EQ(storedNames().second, "No Glove");
    EXPECT_EQ(hostLabel(), "Host: ");

    ASSERT_TRUE(gloves().HostSelect(1));
    EXPECT_EQ(hostLabel(), "Host: 127.0.0.9");
    EXPECT_EQ(storedNames(), (std::pair<std::string, std::string>{"Pair", "Good"}));
    ASSERT_TRUE(gloves().HostSelect(0));
    EXPECT_EQ(storedNames().second, "Good") << "nothing else changes";
}

TEST_F(Layout, ChoosingAGloveWhileOnlineResetsAndIdleShowsRotations) {
    testsupport::Simulator sim(KELBSIM_PATH, link);
    ASSERT_TRUE(sim.ready());
    useRegistry(sampleRegistry(link));
    makeDevice();
    openLayout();
    ASSERT_TRUE(FBHost::setOnline(dev(), true));
    FBHost::clearBoxes();
    ASSERT_TRUE(gloves().HostSelect(0));
    ASSERT_FALSE(FBHost::progressBoxes().empty());
    EXPECT_EQ(FBHost::progressBoxes()[0].caption, "Shutting down device");
    EXPECT_TRUE(dev().Online.Get());
    EXPECT_EQ(dev().Status.Get(), "Ok");

    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        step(i);
    }
    FBHost::fireUIIdle();
    FBSpread& s = spread();
    Triple written = rotation("middleB");
    for (int c = 0; c < 3; ++c) {
        double shown = 0;
        s.GetCell(10, c + 1, shown);
        EXPECT_EQ(shown, written[c]);
    }
}

TEST_F(Layout, DeviceKeepsItsGloveNameWhenTheLayoutAndItsRegistryGo) {
    testsupport::Simulator sim(KELBSIM_PATH, link);
    ASSERT_TRUE(sim.ready());
    useRegistry(sampleRegistry(link));
    makeDevice();
    openLayout();
    ASSERT_TRUE(control<FBButton>(selectionLayout(), "ButtonRefresh"));
    control<FBButton>(selectionLayout(), "ButtonRefresh")->HostClick();
    layout.reset();
    // The registry the glove came from is gone; start and store use the device's copy.
    ASSERT_TRUE(FBHost::setOnline(dev(), true)) << dev().Information.Get().c_str();
    EXPECT_EQ(dev().HardwareVersionInformation.Get(), "RightGlove");
    EXPECT_EQ(storedNames(), (std::pair<std::string, std::string>{"Simulated", "RightGlove"}));
    // Reopened, the panel selects the same glove and leaves the device online.
    openLayout();
    EXPECT_EQ(gloves().ItemIndex.Get(), 0);
    EXPECT_EQ(hostLabel(), "Host: localhost");
    EXPECT_TRUE(dev().Online.Get());
}
