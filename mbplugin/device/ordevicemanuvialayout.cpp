#include "ordevicemanuvialayout.hpp"

#include <cstring>

#include "devices/exceptions.hpp"
#include "devices/registrymanager.hpp"
#include "devices/types.hpp"
#include "ordevicemanuvia.hpp"
#include "registrykeeper.hpp"

int ORDeviceManuviaLayout::TypeInfo = FBRegisterTypeId("ORDeviceManuviaLayout");

namespace {

constexpr const char* kRegistryErrorTitle = "Device Registry Error.";

enum Column { kEnabled = 0, kRx = 1, kRy = 2, kRz = 3 };

}  // namespace

ORDeviceManuviaLayout::ORDeviceManuviaLayout(HIObject device) : FBDeviceLayout(device) {}

ORDeviceManuviaLayout::~ORDeviceManuviaLayout() {
    unhook();
    retireRegistryManager();
}

bool ORDeviceManuviaLayout::FBCreate() {
    mDevice = dynamic_cast<ORDeviceManuvia*>(Device);
    if (!mDevice)
        return false;
    bool online = mDevice->Online;
    mRegistryManager.reset();
    mConfiguration = nullptr;

    createRegions();
    SetControl("MainLayout", mLayoutMarkers);

    SetBorder("MainLayout", kFBStandardBorder, false, false, 1, 0, 90.0f, 0);
    mTabPanel.Items.SetString("Markers~Device Selection");
    mTabPanel.OnChange.Add(this, &ORDeviceManuviaLayout::EventTabChange);
    mSpreadMarkers.OnCellChange.Add(this, &ORDeviceManuviaLayout::EventSpreadCellChange);
    mButtonRefresh.Caption = "Refresh from Device Registry";
    mLabelConfiguration.Caption = "Configuration:";
    mLabelDevice.Caption = "VexaGlove:";
    mLabelHost.Caption = "Host: ";
    refreshFromRegistry(mDevice->glove());
    mButtonRefresh.OnClick.Add(this, &ORDeviceManuviaLayout::EventButtonRefreshClick);
    mListConfiguration.OnChange.Add(this, &ORDeviceManuviaLayout::EventConfigurationChange);
    mListDevice.OnChange.Add(this, &ORDeviceManuviaLayout::EventDeviceChange);

    rebuildSpread();

    mDevice->OnStatusChange.Add(this, &ORDeviceManuviaLayout::EventDeviceStatusChange);
    mSystem.OnUIIdle.Add(this, &ORDeviceManuviaLayout::EventUIIdle);
    mHooked = true;

    mDevice->Online = online;
    return true;
}

void ORDeviceManuviaLayout::FBDestroy() {
    unhook();
}

void ORDeviceManuviaLayout::unhook() {
    if (!mHooked)
        return;
    mSystem.OnUIIdle.Remove(this, &ORDeviceManuviaLayout::EventUIIdle);
    mDevice->OnStatusChange.Remove(this, &ORDeviceManuviaLayout::EventDeviceStatusChange);
    mHooked = false;
}

void ORDeviceManuviaLayout::createRegions() {
    AddRegion("TabPanel", "TabPanel", 0, kFBAttachLeft, "", 1.0f, 0, kFBAttachTop, "", 1.0f, 0,
              kFBAttachRight, "", 1.0f, 25, kFBAttachNone, nullptr, 1.0f);
    AddRegion("MainLayout", "MainLayout", 5, kFBAttachLeft, "TabPanel", 1.0f, 5, kFBAttachBottom,
              "TabPanel", 1.0f, -5, kFBAttachRight, "TabPanel", 1.0f, -5, kFBAttachBottom, "",
              1.0f);
    SetControl("TabPanel", mTabPanel);

    mLayoutMarkers.AddRegion("SpreadMarkers", "SpreadMarkers", 0, kFBAttachLeft, "", 1.0f, 0,
                             kFBAttachTop, "", 1.0f, 0, kFBAttachRight, "", 1.0f, 0,
                             kFBAttachBottom, "", 1.0f);
    mLayoutMarkers.SetControl("SpreadMarkers", mSpreadMarkers);

    struct Placed {
        const char* name;
        int y;
        const char* below;  // y counts from the top of this region; "" the layout
        FBVisualComponent* control;
    };
    const Placed placed[] = {
        {"LabelConfiguration", 5, "", &mLabelConfiguration},
        {"ListConfiguration", 25, "LabelConfiguration", &mListConfiguration},
        {"LabelDevice", 60, "", &mLabelDevice},
        {"ListDevice", 25, "LabelDevice", &mListDevice},
        {"ButtonRefresh", 120, "", &mButtonRefresh},
        {"LabelHost", 150, "", &mLabelHost},
    };
    for (const Placed& p : placed) {
        mLayoutDeviceSelection.AddRegion(p.name, p.name, 5, kFBAttachLeft, "", 1.0f, p.y,
                                         kFBAttachTop, p.below, 1.0f, 200, kFBAttachNone, "", 1.0f,
                                         25, kFBAttachNone, "", 1.0f);
        mLayoutDeviceSelection.SetControl(p.name, *p.control);
    }
}

void ORDeviceManuviaLayout::EventTabChange(HISender, HKEvent) {
    switch (mTabPanel.ItemIndex.Get()) {
        case 0:
            SetControl("MainLayout", mLayoutMarkers);
            break;
        case 1:
            SetControl("MainLayout", mLayoutDeviceSelection);
            break;
        default:
            break;
    }
}

void ORDeviceManuviaLayout::EventSpreadCellChange(HISender, HKEvent event) {
    FBEventSpread spread(event);
    if (spread.Column != kEnabled)
        return;
    int value = 0;
    mSpreadMarkers.GetCell(spread.Row, spread.Column, value);
    mDevice->setJointInUse(static_cast<int>(spread.Row), value);
}

void ORDeviceManuviaLayout::EventButtonRefreshClick(HISender, HKEvent) {
    refreshFromRegistry(nullptr);
}

void ORDeviceManuviaLayout::EventConfigurationChange(HISender, HKEvent) {
    int index = static_cast<int>(
        mListConfiguration.Items.GetReferenceAt(mListConfiguration.ItemIndex.Get()));
    mConfiguration = mRegistryManager ? mRegistryManager->getConfig(index) : nullptr;
    fillGloveList(nullptr);
}

void ORDeviceManuviaLayout::EventDeviceChange(HISender, HKEvent) {
    chooseGlove(nullptr);
}

void ORDeviceManuviaLayout::EventDeviceStatusChange(HISender, HKEvent) {
    rebuildSpread();
}

void ORDeviceManuviaLayout::EventUIIdle(HISender, HKEvent) {
    if (mDevice->Online)
        refreshSpread();
}

void ORDeviceManuviaLayout::retireRegistryManager() {
    mConfiguration = nullptr;
    Manuvia::retireRegistryManager(mRegistryManager);
}

void ORDeviceManuviaLayout::refreshFromRegistry(Devices::Device* glove) {
    mListConfiguration.Items.Clear();
    if (!glove || !mRegistryManager) {
        retireRegistryManager();
        mRegistryManager = std::make_unique<Devices::RegistryManager>();
        try {
            mRegistryManager->loadRegistry(nullptr);
            mRegistryManager->createAllDevices();
        } catch (...) {
            FBMessageBox(kRegistryErrorTitle,
                         "You must establish a device registry before using this plug-in.", "OK");
            return;
        }
    }
    for (int i = 0; i < mRegistryManager->getConfigCount(); ++i) {
        const char* name = mRegistryManager->getConfig(i)->getName();
        mListConfiguration.Items.Add(name ? name : "", i);
    }

    FBString configName = mDevice->configurationName();
    mConfiguration = mRegistryManager->findConfig(configName);
    if (!mConfiguration) {
        mConfiguration = mRegistryManager->getDefaultConfig();
        if (mConfiguration) {
            configName = mConfiguration->getName();
            mDevice->setConfigurationName(configName);
        } else {
            FBMessageBox(kRegistryErrorTitle,
                         "Unable to detetect any configurations in your device registry.", "OK");
            configName = "";
            mDevice->setConfigurationName("");
        }
    }
    int selected = mListConfiguration.Items.Find(configName);
    mListConfiguration.ItemIndex = selected < 0 ? 0 : selected;

    fillGloveList(glove);
}

void ORDeviceManuviaLayout::fillGloveList(Devices::Device* glove) {
    mListDevice.Items.Clear();
    if (!mConfiguration)
        return;
    FBString gloveName = mDevice->gloveName();
    int selected = 0;
    int count = mConfiguration->getVexaGloveCount();
    for (int i = 0; i < count; ++i) {
        int index = mConfiguration->getVexaGloveIndex(i);
        const char* name = mConfiguration->getDeviceName(index);
        mListDevice.Items.Add(name ? name : "", index);
        if (name && gloveName == name)
            selected = i;
    }
    mListDevice.ItemIndex = selected;
    if (count > 0)
        chooseGlove(glove);
    else
        FBMessageBox(kRegistryErrorTitle,
                     "Unable to detect any VexaGloves in your device registry.", "OK");
}

Devices::Device* ORDeviceManuviaLayout::deviceAt(int index) const {
    // Device objects are held in creation order, and an entry whose creation failed has
    // none, so the registry index is matched through the device's registry key.
    rziRegistryKey* key = mConfiguration ? mConfiguration->getDeviceKey(index) : nullptr;
    if (!key)
        return nullptr;
    for (int i = 0; i < mConfiguration->getDeviceObjectCount(); ++i) {
        Devices::Device* device = mConfiguration->getDevice(i);
        if (device && device->getRegistryKey() == key)
            return device;
    }
    return nullptr;
}

void ORDeviceManuviaLayout::chooseGlove(Devices::Device* glove) {
    if (!glove) {
        mDevice->disconnectGlove();
        int item = mListDevice.ItemIndex;
        if (item < 0 || item >= mListDevice.Items.GetCount())
            return;
        glove = deviceAt(static_cast<int>(mListDevice.Items.GetReferenceAt(item)));
    }
    if (!glove || glove->getType() != Devices::kVexaGlove)
        return;
    const char* address = glove->getAddress();
    mLabelHost.Caption = FBString("Host: ") + (address ? address : "");
    // A glove from a registry already replaced has lost its keys, and with them its name:
    // the device's copy still holds it.
    const char* name = glove->getName();
    FBString gloveName = name ? FBString(name) : mDevice->gloveName();
    const char* configName = mConfiguration ? mConfiguration->getName() : nullptr;
    mDevice->setGlove(glove, gloveName,
                      configName ? FBString(configName) : mDevice->configurationName());
    if (mDevice->Online)
        mDevice->DeviceSendCommand(kOpReset);
}

void ORDeviceManuviaLayout::rebuildSpread() {
    mSpreadMarkers.Clear();
    mSpreadMarkers.GetColumn(-1).Width = 100;
    struct ColumnDef {
        const char* caption;
        FBCellStyle style;
    };
    const ColumnDef columns[] = {{"Enabled", kFBCellStyle2StatesButton},
                                 {"Rx", kFBCellStyleDouble},
                                 {"Ry", kFBCellStyleDouble},
                                 {"Rz", kFBCellStyleDouble}};
    for (const ColumnDef& c : columns) {
        int column = mSpreadMarkers.ColumnAdd(c.caption);
        mSpreadMarkers.GetColumn(column).Width = 60;
        mSpreadMarkers.GetColumn(column).Style = c.style;
    }
    for (int i = 0; i < mDevice->jointCount(); ++i) {
        const Manuvia::JointRecord& joint = mDevice->joint(i);
        if (!joint.present)
            continue;
        mSpreadMarkers.RowAdd(joint.name, i);
        mSpreadMarkers.SetCell(i, kEnabled, static_cast<int>(joint.inUse.load()));
        // Rz stays editable.
        mSpreadMarkers.GetCell(i, kRx).ReadOnly = true;
        mSpreadMarkers.GetCell(i, kRy).ReadOnly = true;
    }
}

void ORDeviceManuviaLayout::refreshSpread() {
    for (int i = 0; i < mDevice->jointCount(); ++i) {
        if (!mDevice->joint(i).present || !mSpreadMarkers.HasRow(i))
            continue;
        double rotation[3];
        mDevice->lastRotation(i, rotation);
        mSpreadMarkers.SetCell(i, kRx, rotation[0]);
        mSpreadMarkers.SetCell(i, kRy, rotation[1]);
        mSpreadMarkers.SetCell(i, kRz, rotation[2]);
    }
}
