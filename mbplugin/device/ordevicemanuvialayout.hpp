#pragma once
// The Manuvia device's settings panel: a spreadsheet of the hand's joints (on/off and their
// current rotations) and the choice of configuration and glove from the device registry.
//
// Lives on the host's user-interface thread. Owns the registry manager it reads the registry
// through; the configurations and gloves made from it are handed to a process-wide keeper
// when the manager is replaced, since the device may go on using a glove. The device it edits
// must outlive it (the host destroys layouts first).

#include <memory>

#include "fbsdk/fbsdk.h"

class ORDeviceManuvia;
namespace Devices {
class ConfigManager;
class Device;
class RegistryManager;
}  // namespace Devices

class ORDeviceManuviaLayout : public FBDeviceLayout {
  public:
    static int TypeInfo;

    explicit ORDeviceManuviaLayout(HIObject device);
    ~ORDeviceManuviaLayout() override;

    const char* ClassName() override { return "ORDeviceManuviaLayout"; }
    bool Is(int typeId) override {
        return typeId == ORDeviceManuviaLayout::TypeInfo || FBDeviceLayout::Is(typeId);
    }
    int GetTypeId() override { return ORDeviceManuviaLayout::TypeInfo; }
    // False when the layout is not made for an ORDeviceManuvia.
    bool FBCreate() override;
    void FBDestroy() override;

  private:
    void EventTabChange(HISender sender, HKEvent event);
    void EventSpreadCellChange(HISender sender, HKEvent event);
    void EventButtonRefreshClick(HISender sender, HKEvent event);
    void EventConfigurationChange(HISender sender, HKEvent event);
    void EventDeviceChange(HISender sender, HKEvent event);
    void EventDeviceStatusChange(HISender sender, HKEvent event);
    void EventUIIdle(HISender sender, HKEvent event);

    void createRegions();
    void refreshFromRegistry(Devices::Device* glove);
    void fillGloveList(Devices::Device* glove);
    void chooseGlove(Devices::Device* glove);
    // The device object of registry index `index` in the current configuration, or null.
    Devices::Device* deviceAt(int index) const;
    void rebuildSpread();
    void refreshSpread();
    void retireRegistryManager();
    void unhook();

    FBTabPanel mTabPanel;
    FBLayout mLayoutMarkers;
    FBSpread mSpreadMarkers;
    FBLayout mLayoutDeviceSelection;
    FBLabel mLabelConfiguration;
    FBList mListConfiguration;
    FBLabel mLabelDevice;
    FBList mListDevice;
    FBButton mButtonRefresh;
    FBLabel mLabelHost;
    FBSystem mSystem;
    ORDeviceManuvia* mDevice = nullptr;
    Devices::ConfigManager* mConfiguration = nullptr;
    std::unique_ptr<Devices::RegistryManager> mRegistryManager;
    bool mHooked = false;
};
