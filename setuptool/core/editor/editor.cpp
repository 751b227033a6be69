#include "kp28setup/editor.h"

namespace kp28setup {

const char* family_name(Family f) {
    switch (f) {
        case Family::MainTitle:
            return "lbl_Main_Title";
        case Family::ItemTitle:
            return "lbl_ItemTitle";
        case Family::Enum:
            return "cmb_Enum";
        case Family::MinMax:
            return "hsr_MinMax";
        case Family::String:
            return "txt_string";
        case Family::IP:
            return "txt_IP1..4";
    }
    return "";
}

DesignGeometry design_geometry(Family f, int part) {
    switch (f) {
        case Family::MainTitle:
            return {120, 1455, 360};
        case Family::ItemTitle:
            return {120, 1110, 285};
        case Family::Enum:
            return {2880, 2955, 0};
        case Family::MinMax:
            return part == 0 ? DesignGeometry{2820, 2985, 375} : DesignGeometry{5880, 990, 240};
        case Family::String:
            return {2880, 3615, 375};
        case Family::IP:
            return {2880 + 840 * (part < 0 ? 0 : part > 3 ? 3 : part), 495, 375};
    }
    return {};
}

int parts_of(Family f) {
    return f == Family::MinMax ? 2 : f == Family::IP ? 4 : 1;
}

const char* row_kind_name(RowKind k) {
    switch (k) {
        case RowKind::Title:
            return "title";
        case RowKind::Enum:
            return "enum";
        case RowKind::Range:
            return "range";
        case RowKind::String:
            return "string";
        case RowKind::Ip:
            return "ip";
    }
    return "";
}

Family row_family(RowKind k) {
    switch (k) {
        case RowKind::Title:
            return Family::MainTitle;
        case RowKind::Enum:
            return Family::Enum;
        case RowKind::Range:
            return Family::MinMax;
        case RowKind::String:
            return Family::String;
        case RowKind::Ip:
            return Family::IP;
    }
    return Family::MainTitle;
}

// Interface stubs; the model follows.
Editor::Editor(EditorObserver* observer) : observer_(observer) {}
void Editor::attach(Session& session) {
    session_ = &session;
}
void Editor::set_image(const std::array<std::uint8_t, kNvmSize>& image, bool plus) {
    own_image_ = image;
    own_plus_ = plus ? 1 : 0;
}
std::array<std::uint8_t, kNvmSize>& Editor::image() {
    return session_ ? session_->nvm_image : own_image_;
}
const std::array<std::uint8_t, kNvmSize>& Editor::image() const {
    return session_ ? session_->nvm_image : own_image_;
}
bool Editor::plus_model() const {
    return (session_ ? session_->plus_model : own_plus_) == 1;
}
void Editor::clear_editor() {}
void Editor::build_editor() {}
FetchResult Editor::fetch_modules_file() {
    return {};
}
void Editor::build_from_description(std::string_view) {}
EditResult Editor::cmb_Enum_Click(int, int) {
    return {};
}
EditResult Editor::hsr_MinMax_Scroll(int, int) {
    return {};
}
EditResult Editor::hsr_MinMax_Change(int, int) {
    return {};
}
EditResult Editor::txt_string_Change(int, const std::string&) {
    return {};
}
EditResult Editor::txt_IP_Change(int, int, const std::string&) {
    return {};
}
int Editor::VScroll1_Change(int, int) {
    return 0;
}
int Editor::created_count(Family f) const {
    return created_[static_cast<int>(f)];
}
ElementState Editor::element(Family, int) const {
    return {};
}
std::vector<RowView> Editor::rows() const {
    return {};
}
const ParameterSlot& Editor::slot(int) const {
    static const ParameterSlot none;
    return none;
}
void Editor::notify_element(Family, int, unsigned) {}
void Editor::set_content(int, int) {}
std::optional<std::string> utf8_to_cp1252(std::string_view) {
    return std::nullopt;
}

}  // namespace kp28setup
