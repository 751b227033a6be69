// The parameter editor as a model: the row control families of the window's
// content panel, how a description builds rows into them, how an edit of a
// row reaches the NVM image, and how the content scrolls. No toolkit in it:
// a window mirrors the families element by element, a console front end reads
// the rows, and tests drive the change handlers directly.
//
// Threading: one thread owns an Editor, the same thread that owns the
// Session. Every notification carries copies of what changed (or can be
// followed by a getter on the owning thread), so a window that runs the core
// on a worker thread can queue them to its own thread as they are.
//
// Edits: the window calls a change handler only for what the operator did
// (slider moved, item chosen, text typed). Setting a control from a
// notification must not call back into the handlers: the build shows values
// without writing them, so that an image read and written back unedited
// leaves the printer exactly as it was.
#pragma once

#include <kp28/protocol/description.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kp28setup/dialogue.h"
#include "kp28setup/text.h"

namespace kp28setup {

// --- geometry, in twips (15 twips per pixel) ---

struct Rect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

// The viewport on the main window, its scroll bar, and the content panel that
// holds every row (its height and Top come from the model).
inline constexpr Rect kPicture2{150, 800, 7365, 7100};
inline constexpr Rect kVScroll1{6840, 0, 375, 7000};
inline constexpr int kPicture1Left = 0;
inline constexpr int kPicture1Width = 6795;
// The scroll bar's range, fixed at design: 0 .. kVScroll1Max.
inline constexpr int kVScroll1Min = 0;
inline constexpr int kVScroll1Max = 100;
inline constexpr int kVScroll1SmallStep = 1;
inline constexpr int kVScroll1LargeStep = 10;

// Rows lie this far apart; a title after anything but a title gets the gap too.
inline constexpr int kRowPitch = 500;
inline constexpr int kTitleGap = 300;

// Element indices 0 .. kMaxElements - 1 in every family; row numbers likewise.
inline constexpr int kMaxElements = 1001;

// The indexed control families inside the content panel.
enum class Family {
    MainTitle,  // lbl_Main_Title: a title row's heading
    ItemTitle,  // lbl_ItemTitle: every parameter row's bold label (indexed by row number)
    Enum,       // cmb_Enum: drop-down list
    MinMax,     // hsr_MinMax with its value label lbl_MinMax
    String,     // txt_string
    IP,         // txt_IP1 .. txt_IP4
};
inline constexpr int kFamilyCount = 6;
inline constexpr std::array<Family, kFamilyCount> kFamilies = {
    Family::MainTitle, Family::ItemTitle, Family::Enum, Family::MinMax, Family::String, Family::IP};

// The control names of a family ("lbl_Main_Title", ..., "txt_IP1..4").
const char* family_name(Family f);

// Design geometry of one control of a family (Top is set per row). part
// chooses within a family that has several controls per element: MinMax 0 is
// the slider, 1 its value label; IP 0 .. 3 are txt_IP1 .. txt_IP4. A height of
// 0 means "set by the font" (the drop-down list).
struct DesignGeometry {
    int left = 0;
    int width = 0;
    int height = 0;
};
DesignGeometry design_geometry(Family f, int part = 0);
// How many controls one element of the family has (MinMax 2, IP 4, else 1).
int parts_of(Family f);

// Further design settings the window copies to every element.
inline constexpr int kIpBoxMaxLength = 3;
inline constexpr int kItemTitlePointSize = 12;  // bold Arial; sizes itself to its caption

// The state of one element of a family: everything the window shows of it.
// Fields that do not belong to the element's family keep their defaults.
struct ElementState {
    bool exists = false;
    bool visible = false;
    int top = 0;  // twips, inside Picture1

    // MainTitle and ItemTitle: the caption (UTF-8).
    std::string caption;

    // Enum: the items (UTF-8) and the selected one (-1: none, when the stored
    // number names no item).
    std::vector<std::string> items;
    int selected = -1;

    // MinMax: the slider and its value label. value is kept within
    // slider_min .. slider_max as a slider would; value_caption shows the
    // number the row really holds, even outside that range.
    int slider_min = 0;
    int slider_max = 0;
    int slider_value = 0;
    int small_step = 1;
    int large_step = 1;
    std::string value_caption;

    // String: the text (UTF-8) and the box's maximum length in characters.
    std::string text;
    int max_length = 0;

    // IP: the texts of txt_IP1 .. txt_IP4.
    std::array<std::string, 4> octets;

    // ItemTitle: the row's value differs from the baseline (the last read,
    // restore or confirmed write), and the value it had there (UTF-8).
    bool edited = false;
    std::string read_value;

    bool operator==(const ElementState&) const = default;
};

// What a notification of a changed element is about (bits).
enum ElementAspect : unsigned {
    kAspectVisibility = 1,  // shown or hidden
    kAspectTop = 2,
    kAspectContent = 4,  // caption, items, selection, slider, text, octets
};

// Picture1's height (the final RowTop of the last build) and its Top.
struct ContentState {
    int height = 0;
    int top = 0;
    bool operator==(const ContentState&) const = default;
};

// Mirrors the model as it changes. Every call comes from the editor's thread.
class EditorObserver {
  public:
    virtual ~EditorObserver() = default;
    // Element index of family f now exists (a copy of element 0, hidden).
    virtual void element_created(Family f, int index) { (void)f, (void)index; }
    // aspects: ElementAspect bits; state: the element as it is now.
    virtual void element_changed(Family f, int index, unsigned aspects, const ElementState& state) {
        (void)f, (void)index, (void)aspects, (void)state;
    }
    virtual void content_changed(const ContentState& content) { (void)content; }
    virtual void build_started() {}
    // warnings: the description lines that built no row, and why.
    virtual void build_finished(int rows, const std::vector<std::string>& warnings) {
        (void)rows, (void)warnings;
    }
    // After every description line: the window processes its pending events
    // so that the editor grows visibly while it is built.
    virtual void process_events() {}
};

// --- rows ---

enum class RowKind { Title, Enum, Range, String, Ip };
const char* row_kind_name(RowKind k);  // "title", "enum", "range", "string", "ip"

// One row of the last build as it stands now (values follow the edits).
struct RowView {
    RowKind kind = RowKind::Title;
    std::string label;  // UTF-8
    int top = 0;        // twips
    int line = 0;       // 1-based line of the description
    int element = 0;    // index within the row's own family (Family of row_family(kind))
    // Parameter rows only:
    int row = -1;  // row number, the index of its lbl_ItemTitle and slot
    int offset = 0;
    int size = 0;
    // Enum: stored = the number read; index = the chosen item (-1 none);
    // value = its text (empty with index -1).
    // Range: stored = the number in the image; value = stored - bias, the
    // displayed number, as text.
    // String: value = the text. Ip: value = "a.b.c.d".
    int stored = 0;
    int index = -1;
    std::string value;
    std::vector<std::string> items;
    int min = 0;
    int max = 0;
    int bias = 0;
    int large_step = 0;
    bool operator==(const RowView&) const = default;
};
Family row_family(RowKind k);

// The place of a parameter row in the image (the slot table).
struct ParameterSlot {
    std::int16_t size = 0;
    std::int16_t offset = 0;
};

// The outcome of a change handler. accepted: the edit reached the image (or
// needed no byte changed). Otherwise message says why, and restored_text,
// when set, is what the box shows again (the core has put it back).
struct EditResult {
    bool accepted = true;
    std::string message;
    std::optional<std::string> restored_text;
};

class Editor {
  public:
    explicit Editor(EditorObserver* observer = nullptr);

    // The image the rows show and edit, and the model flag that tells its byte
    // order (1: KP28Plus), both owned by the caller and read as they stand at
    // each use; unbound, the editor works on an image of its own (set_image).
    void bind_image(NvmImage& image, const std::uint8_t& plus_model);
    void set_image(const std::array<std::uint8_t, kNvmSize>& image, bool plus);
    std::array<std::uint8_t, kNvmSize>& image();
    const std::array<std::uint8_t, kNvmSize>& image() const;
    bool plus_model() const;

    void set_observer(EditorObserver* observer) { observer_ = observer; }

    // Hides every row.
    void clear_editor();
    // The build from a description (as the printer sent it, a stored
    // modules.txt, or tests).
    void build_from_description(std::string_view text);
    // A description that did not arrive: the rows of the last build describe
    // an image that has been replaced, so they go, and problem is the build's
    // warning.
    void fail_build(const std::string& problem);
    // A warning about the description's arrival, reported with the next build.
    void note_fetch_warning(std::string text) { fetch_warnings_.push_back(std::move(text)); }
    // The warnings of the last build for the status label, empty when none.
    std::string warnings_summary() const;

    // --- change handlers, by index within the family ---
    EditResult cmb_Enum_Click(int i, int selected);
    EditResult hsr_MinMax_Scroll(int i, int value);
    EditResult hsr_MinMax_Change(int i, int value);
    EditResult txt_string_Change(int i, const std::string& text_utf8);
    EditResult txt_IP1_Change(int i, const std::string& text) { return txt_IP_Change(i, 1, text); }
    EditResult txt_IP2_Change(int i, const std::string& text) { return txt_IP_Change(i, 2, text); }
    EditResult txt_IP3_Change(int i, const std::string& text) { return txt_IP_Change(i, 3, text); }
    EditResult txt_IP4_Change(int i, const std::string& text) { return txt_IP_Change(i, 4, text); }
    // octet: 1 .. 4.
    EditResult txt_IP_Change(int i, int octet, const std::string& text);
    // The scroll bar's value changed; returns Picture1's new Top.
    int VScroll1_Change(int value, int maximum = kVScroll1Max);

    // --- what the window shows ---
    int created_count(Family f) const;
    // Element index of family f (exists false beyond the created count).
    ElementState element(Family f, int index) const;
    ContentState content() const { return content_; }
    double RowTop() const { return b_.RowTop; }

    // --- the last build ---
    std::vector<RowView> rows() const;
    const std::vector<std::string>& warnings() const { return warnings_; }
    // Whether the last build read a complete description (its end line).
    bool complete() const { return complete_; }
    const ParameterSlot& slot(int row) const;

    // --- edited rows ---
    // The image as the printer holds it: taken when a build finishes (after a
    // read or a restore) and, by the window, after a confirmed write. A row
    // whose value differs from it is marked edited on its lbl_ItemTitle.
    void set_baseline();
    // The value row number `row` shows under the baseline ("" for no row).
    std::string baseline_row_value(int row) const;
    bool row_edited(int row) const;

    // The build state, as the description is read.
    struct BuildState {
        std::string current_line;
        double RowTop = 0;
        bool last_was_title = true;
        int row_number = 0;
        int next_title = 0;
        int next_list = 0;
        int next_slider = 0;
        int next_text = 0;
        int next_ip = 0;
    };
    const BuildState& build_state() const { return b_; }

  private:
    struct Row {
        RowKind kind = RowKind::Title;
        int line = 0;
        int element = 0;
        int row = -1;
        int top = 0;
        std::string label_bytes;
    };

    void notify_element(Family f, int index, unsigned aspects);
    void set_content(int height, int top);
    int top_for_scroll() const;
    ElementState& ensure(Family f, int n);
    ElementState& el(Family f, int n) {
        return elements_[static_cast<std::size_t>(f)][static_cast<std::size_t>(n)];
    }
    void reset_build();
    void build_line(int line_no);
    std::optional<std::string> check_record(const kp28::ParsedLine& p);
    void warn(int line_no, const std::string& problem);
    // The slot of the row being built, and the number it holds in the image.
    void set_slot(std::int16_t size, std::int16_t offset);
    int slot_value() const;
    // Row builders, from the line's record.
    void add_title_row(const kp28::TitleRecord& rec);
    void add_enum_row(const kp28::EnumRecord& rec);
    void add_range_row(const kp28::RangeRecord& rec);
    void add_string_row(const kp28::StringRecord& rec);
    void add_ip_row(const kp28::IpRecord& rec);
    EditResult range_edit(int i, int value);
    // The value a row shows over image img, as the row displays it.
    std::string row_value_in(const Row& row, const std::array<std::uint8_t, kNvmSize>& img) const;
    // Marks the rows whose value left (or came back to) the baseline.
    void update_marks();

    EditorObserver* observer_ = nullptr;
    NvmImage* bound_image_ = nullptr;
    const std::uint8_t* bound_plus_ = nullptr;
    NvmImage own_image_{};
    std::uint8_t own_plus_ = 1;

    std::array<std::vector<ElementState>, kFamilyCount> elements_;
    std::array<int, kFamilyCount> created_{};
    ContentState content_;
    int scroll_value_ = 0;
    int scroll_max_ = kVScroll1Max;
    BuildState b_;
    int line_no_ = 0;
    bool complete_ = false;
    std::vector<std::string> warnings_;
    std::vector<std::string> fetch_warnings_;

    // The slot table and the per-family maps (kMaxElements entries each).
    std::vector<ParameterSlot> slots_;
    std::vector<std::int16_t> enum_slot_, range_slot_, string_slot_, ip_slot_, range_bias_;
    std::vector<Row> rows_;
    std::array<std::uint8_t, kNvmSize> baseline_{};
};

}  // namespace kp28setup
