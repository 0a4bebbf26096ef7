// Layout controls kept as data.

#include "fbsdk/fbui.h"

#include <stdexcept>

int FBStringList::Add(const char* text, kReference reference) {
    m_items.emplace_back(text ? text : "", reference);
    return static_cast<int>(m_items.size()) - 1;
}

void FBStringList::SetString(const char* text) {
    m_items.clear();
    std::string all = text ? text : "";
    std::size_t start = 0;
    while (true) {
        std::size_t tilde = all.find('~', start);
        m_items.emplace_back(all.substr(start, tilde - start), 0);
        if (tilde == std::string::npos)
            break;
        start = tilde + 1;
    }
}

const char* FBStringList::GetAt(int index) const {
    return (index >= 0 && index < GetCount()) ? m_items[index].first.c_str() : "";
}

kReference FBStringList::GetReferenceAt(int index) const {
    return (index >= 0 && index < GetCount()) ? m_items[index].second : 0;
}

int FBStringList::Find(const char* text) const {
    for (int i = 0; i < GetCount(); ++i)
        if (text && m_items[i].first == text)
            return i;
    return -1;
}

void FBButton::HostClick() {
    FBEvent event;
    OnClick.Fire(this, &event);
}

bool FBList::HostSelect(int index) {
    if (index < 0 || index >= Items.GetCount())
        return false;
    ItemIndex = index;
    FBEvent event;
    OnChange.Fire(this, &event);
    return true;
}

bool FBTabPanel::HostSelect(int index) {
    if (index < 0 || index >= Items.GetCount())
        return false;
    ItemIndex = index;
    FBEvent event;
    OnChange.Fire(this, &event);
    return true;
}

FBSpread::FBSpread() {
    m_header.Caption = "";
}

void FBSpread::Clear() {
    m_rows.clear();
    m_columns.clear();
    m_header = FBSpreadColumn{};
}

int FBSpread::ColumnAdd(const char* caption, kReference reference) {
    FBSpreadColumn column;
    column.Caption = caption ? caption : "";
    column.Reference = reference;
    m_columns.push_back(column);
    for (FBSpreadRow& row : m_rows)
        row.Cells.emplace_back();
    return static_cast<int>(m_columns.size()) - 1;
}

FBSpreadColumn& FBSpread::GetColumn(int column) {
    if (column == -1)
        return m_header;
    if (column < 0 || column >= GetColumnCount())
        throw std::out_of_range("spreadsheet column " + std::to_string(column) + " does not exist");
    return m_columns[column];
}

void FBSpread::RowAdd(const char* caption, kReference reference) {
    FBSpreadRow row;
    row.Caption = caption ? caption : "";
    row.Reference = reference;
    row.Cells.resize(m_columns.size());
    m_rows.push_back(std::move(row));
}

bool FBSpread::HasRow(kReference reference) const {
    for (const FBSpreadRow& row : m_rows)
        if (row.Reference == reference)
            return true;
    return false;
}

FBSpreadRow& FBSpread::GetRow(kReference reference) {
    for (FBSpreadRow& row : m_rows)
        if (row.Reference == reference)
            return row;
    throw std::out_of_range("spreadsheet row " + std::to_string(reference) + " does not exist");
}

FBSpreadCell& FBSpread::GetCell(kReference row, int column) {
    FBSpreadRow& r = GetRow(row);
    if (column < 0 || column >= static_cast<int>(r.Cells.size()))
        throw std::out_of_range("spreadsheet column " + std::to_string(column) + " does not exist");
    return r.Cells[column];
}

void FBSpread::SetCell(kReference row, int column, int value) {
    GetCell(row, column).Value = value;
}

void FBSpread::SetCell(kReference row, int column, double value) {
    GetCell(row, column).Value = value;
}

void FBSpread::SetCell(kReference row, int column, const char* value) {
    GetCell(row, column).Value = std::string(value ? value : "");
}

void FBSpread::GetCell(kReference row, int column, int& out) {
    const FBCellValue& v = GetCell(row, column).Value;
    if (auto* i = std::get_if<int>(&v))
        out = *i;
    else if (auto* d = std::get_if<double>(&v))
        out = static_cast<int>(*d);
    else
        out = 0;
}

void FBSpread::GetCell(kReference row, int column, double& out) {
    const FBCellValue& v = GetCell(row, column).Value;
    if (auto* i = std::get_if<int>(&v))
        out = *i;
    else if (auto* d = std::get_if<double>(&v))
        out = *d;
    else
        out = 0.0;
}

bool FBSpread::HostEdit(kReference row, int column, FBCellValue value) {
    if (!HasRow(row) || column < 0 || column >= GetColumnCount())
        return false;
    FBSpreadCell& cell = GetCell(row, column);
    if (cell.ReadOnly || m_columns[column].ReadOnly || ReadOnly)
        return false;
    cell.Value = std::move(value);
    FBEvent event;
    event.Row = row;
    event.Column = column;
    OnCellChange.Fire(this, &event);
    return true;
}

bool FBLayout::AddRegion(const char* name, const char* title, int x, FBAttachType xType,
                         const char* xRelative, float xMultiplier, int y, FBAttachType yType,
                         const char* yRelative, float yMultiplier, int width,
                         FBAttachType widthType, const char* widthRelative, float widthMultiplier,
                         int height, FBAttachType heightType, const char* heightRelative,
                         float heightMultiplier) {
    std::string n = name ? name : "";
    if (GetRegion(n.c_str()))
        return false;
    auto attach = [](int v, FBAttachType t, const char* rel, float m) {
        return FBAttach{v, t, rel ? rel : "", m};
    };
    FBRegion region;
    region.name = n;
    region.title = title ? title : "";
    region.x = attach(x, xType, xRelative, xMultiplier);
    region.y = attach(y, yType, yRelative, yMultiplier);
    region.width = attach(width, widthType, widthRelative, widthMultiplier);
    region.height = attach(height, heightType, heightRelative, heightMultiplier);
    m_regions.push_back(std::move(region));
    return true;
}

bool FBLayout::SetControl(const char* region, FBVisualComponent& control) {
    for (FBRegion& r : m_regions)
        if (region && r.name == region) {
            r.control = &control;
            return true;
        }
    return false;
}

bool FBLayout::SetBorder(const char* region, FBBorderStyle style, bool title, bool header,
                         int margin, int spacing, float cornerRadius, int rest) {
    for (FBRegion& r : m_regions)
        if (region && r.name == region) {
            r.hasBorder = true;
            r.border = FBBorder{style, title, header, margin, spacing, cornerRadius, rest};
            return true;
        }
    return false;
}

const FBRegion* FBLayout::GetRegion(const char* name) const {
    for (const FBRegion& r : m_regions)
        if (name && r.name == name)
            return &r;
    return nullptr;
}

FBVisualComponent* FBLayout::GetControl(const char* region) const {
    const FBRegion* r = GetRegion(region);
    return r ? r->control : nullptr;
}

std::vector<std::string> FBLayout::GetRegionNames() const {
    std::vector<std::string> names;
    for (const FBRegion& r : m_regions)
        names.push_back(r.name);
    return names;
}

FBDeviceLayout::FBDeviceLayout(HIObject device)
    : Device(dynamic_cast<FBDevice*>(FBGetFBObject(device))) {}
