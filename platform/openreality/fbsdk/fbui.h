#pragma once
// Layout controls as data: no window is drawn; captions, items, cells, read-only flags,
// regions and borders are kept so a host or a test can inspect them, and the Host... calls
// stand in for the user (they change the control and fire its event as a click would).
//
// Threads: controls belong to the host's user-interface thread; nothing here locks. A layout
// does not own the controls placed in its regions (they are usually its own members).

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "fbsdk/fbcore.h"

// Every SDK type is visible from the shared library, also to plug-ins built with hidden
// symbols, so type checks across libraries agree.
#pragma GCC visibility push(default)

class FBVisualComponent : public FBComponent {
  public:
    explicit FBVisualComponent(const char* name = nullptr) : FBComponent(name) {}
    FBPropertyString Caption;
    FBPropertyBool ReadOnly{false};
};

// Items with a reference each, as lists and tab panels keep them.
class FBStringList {
  public:
    // Returns the new item's index.
    int Add(const char* text, kReference reference = 0);
    void Clear() { m_items.clear(); }
    // Replaces the items with the parts of text between '~' separators.
    void SetString(const char* text);
    int GetCount() const { return static_cast<int>(m_items.size()); }
    // "" / 0 outside 0..count-1.
    const char* GetAt(int index) const;
    const char* operator[](int index) const { return GetAt(index); }
    kReference GetReferenceAt(int index) const;
    // Index of the first item with that text, or -1.
    int Find(const char* text) const;

  private:
    std::vector<std::pair<std::string, kReference>> m_items;
};

class FBLabel : public FBVisualComponent {};

class FBButton : public FBVisualComponent {
  public:
    FBPropertyEvent OnClick;
    void HostClick();
};

class FBList : public FBVisualComponent {
  public:
    FBStringList Items;
    FBPropertyInt ItemIndex{-1};
    FBPropertyEvent OnChange;
    // Selects index as the user would (fires OnChange); false outside the items.
    bool HostSelect(int index);
};

class FBTabPanel : public FBVisualComponent {
  public:
    FBStringList Items;
    FBPropertyInt ItemIndex{0};
    FBPropertyEvent OnChange;
    bool HostSelect(int index);
};

enum FBCellStyle {
    kFBCellStyleDefault = 0,
    kFBCellStyleString = 1,
    kFBCellStyleDouble = 2,
    kFBCellStyleInteger = 3,
    kFBCellStyleButton = 4,
    kFBCellStyle2StatesButton = 5,  // a check box
    kFBCellStyle3StatesButton = 6,
    kFBCellStyleMenu = 7,
    kFBCellStyleView = 8,
};

struct FBSpreadColumn {
    std::string Caption;
    kReference Reference = 0;
    int Width = 0;
    FBCellStyle Style = kFBCellStyleDefault;
    bool ReadOnly = false;
};

using FBCellValue = std::variant<std::monostate, int, double, std::string>;

struct FBSpreadCell {
    FBCellStyle Style = kFBCellStyleDefault;
    bool ReadOnly = false;
    bool Enabled = true;
    FBCellValue Value;
};

struct FBSpreadRow {
    std::string Caption;
    kReference Reference = 0;
    std::vector<FBSpreadCell> Cells;  // one per column
};

// A spreadsheet. Rows are addressed by their reference, columns by index; column -1 is the
// row-header column. Asking for a row or column that does not exist throws
// std::out_of_range (a programming error of the caller).
class FBSpread : public FBVisualComponent {
  public:
    FBSpread();
    void Clear();
    int ColumnAdd(const char* caption, kReference reference = 0);
    FBSpreadColumn& GetColumn(int column);
    void RowAdd(const char* caption, kReference reference);
    FBSpreadRow& GetRow(kReference reference);
    FBSpreadCell& GetCell(kReference row, int column);
    void SetCell(kReference row, int column, int value);
    void SetCell(kReference row, int column, double value);
    void SetCell(kReference row, int column, const char* value);
    // The cell's value as an integer or real (0 for text or nothing).
    void GetCell(kReference row, int column, int& out);
    void GetCell(kReference row, int column, double& out);

    int GetColumnCount() const { return static_cast<int>(m_columns.size()); }
    int GetRowCount() const { return static_cast<int>(m_rows.size()); }
    // Rows in the order added.
    FBSpreadRow& GetRowAt(int index) { return m_rows.at(index); }
    bool HasRow(kReference reference) const;

    FBPropertyEvent OnCellChange;
    // Changes a cell as the user would and fires OnCellChange; false (and nothing changed)
    // for a read-only cell or column, or one that does not exist.
    bool HostEdit(kReference row, int column, FBCellValue value);

  private:
    FBSpreadColumn m_header;
    std::vector<FBSpreadColumn> m_columns;
    std::vector<FBSpreadRow> m_rows;
};

enum FBAttachType {
    kFBAttachLeft = 0,
    kFBAttachRight = 1,
    kFBAttachTop = 2,
    kFBAttachBottom = 3,
    kFBAttachWidth = 4,
    kFBAttachHeight = 5,
    kFBAttachCenter = 6,
    kFBAttachNone = 7,
};

enum FBBorderStyle {
    kFBNoBorder = 0,
    kFBStandardBorder = 1,
    kFBEmbossBorder = 2,
    kFBHighlightBorder = 4,
};

// One coordinate of a region: `value` pixels from the `type` edge of the region named
// `relative` (the layout itself when empty), times `multiplier`.
struct FBAttach {
    int value = 0;
    FBAttachType type = kFBAttachNone;
    std::string relative;
    float multiplier = 1.0f;
};

struct FBBorder {
    FBBorderStyle style = kFBNoBorder;
    bool title = false;
    bool header = false;
    int margin = 0;
    int spacing = 0;
    float cornerRadius = 0.0f;
    int rest = 0;
};

struct FBRegion {
    std::string name, title;
    FBAttach x, y, width, height;
    FBVisualComponent* control = nullptr;  // not owned
    bool hasBorder = false;
    FBBorder border;
};

class FBLayout : public FBVisualComponent {
  public:
    explicit FBLayout(const char* name = nullptr) : FBVisualComponent(name) {}
    // False when a region of that name exists already (nothing changes).
    bool AddRegion(const char* name, const char* title, int x, FBAttachType xType,
                   const char* xRelative, float xMultiplier, int y, FBAttachType yType,
                   const char* yRelative, float yMultiplier, int width, FBAttachType widthType,
                   const char* widthRelative, float widthMultiplier, int height,
                   FBAttachType heightType, const char* heightRelative, float heightMultiplier);
    // Shows control in the region; false for an unknown region.
    bool SetControl(const char* region, FBVisualComponent& control);
    bool SetView(const char* region, FBVisualComponent& control) {
        return SetControl(region, control);
    }
    bool SetBorder(const char* region, FBBorderStyle style, bool title, bool header, int margin,
                   int spacing, float cornerRadius, int rest);

    // Null for an unknown region.
    const FBRegion* GetRegion(const char* name) const;
    FBVisualComponent* GetControl(const char* region) const;
    std::vector<std::string> GetRegionNames() const;

  private:
    std::vector<FBRegion> m_regions;
};

// The settings panel of a device; Device is the device it edits, given at creation.
class FBDeviceLayout : public FBLayout {
  public:
    explicit FBDeviceLayout(HIObject device);
    FBDevice* const Device;
};

#pragma GCC visibility pop
