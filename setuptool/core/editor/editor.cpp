#include "kp28setup/editor.h"

#include <kp28/protocol/description.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "kp28setup/value_encoding.h"

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

namespace {

std::size_t fam(Family f) {
    return static_cast<std::size_t>(f);
}

std::string decimal(int v) {
    return std::to_string(v);
}

// The slider's track click: a fifth of the range, at least one step.
int large_step_of(int min, int max) {
    const long step = std::lround((max - min) / 5.0);
    return step < 1 ? 1 : static_cast<int>(step);
}

std::string join_octets(const encoding::Image& image, int offset) {
    if (!encoding::in_image(offset, 4)) return {};
    std::string s;
    for (int k = 0; k < 4; ++k) {
        if (k) s += '.';
        s += decimal(image[static_cast<std::size_t>(offset + k)]);
    }
    return s;
}

}  // namespace

Editor::Editor(EditorObserver* observer) : observer_(observer) {
    for (auto& f : elements_) {
        f.resize(1);
        f[0].exists = true;
    }
    for (int k = 0; k < 4; ++k) el(Family::IP, 0).octets[static_cast<std::size_t>(k)].clear();
    slots_.resize(kMaxElements);
    for (auto* m : {&enum_slot_, &range_slot_, &string_slot_, &ip_slot_, &range_bias_})
        m->assign(kMaxElements, 0);
}

void Editor::bind_image(NvmImage& image, const std::uint8_t& plus_model) {
    bound_image_ = &image;
    bound_plus_ = &plus_model;
}

void Editor::set_image(const std::array<std::uint8_t, kNvmSize>& image, bool plus) {
    own_image_ = image;
    own_plus_ = plus ? 1 : 0;
}

std::array<std::uint8_t, kNvmSize>& Editor::image() {
    return bound_image_ ? *bound_image_ : own_image_;
}

const std::array<std::uint8_t, kNvmSize>& Editor::image() const {
    return bound_image_ ? *bound_image_ : own_image_;
}

bool Editor::plus_model() const {
    return (bound_plus_ ? *bound_plus_ : own_plus_) == 1;
}

// --- elements and notifications ---

void Editor::notify_element(Family f, int index, unsigned aspects) {
    if (observer_) observer_->element_changed(f, index, aspects, el(f, index));
}

void Editor::set_content(int height, int top) {
    const ContentState c{height, top};
    if (c == content_) return;
    content_ = c;
    if (observer_) observer_->content_changed(content_);
}

int Editor::created_count(Family f) const {
    return created_[fam(f)];
}

ElementState Editor::element(Family f, int index) const {
    const auto& v = elements_[fam(f)];
    if (index < 0 || static_cast<std::size_t>(index) >= v.size()) return {};
    return v[static_cast<std::size_t>(index)];
}

// A new element is a copy of element 0 that starts hidden; elements are never
// destroyed, so a later build with fewer rows reuses them.
ElementState& Editor::ensure(Family f, int n) {
    auto& v = elements_[fam(f)];
    while (created_[fam(f)] < n) {
        ElementState copy = v[0];
        copy.visible = false;
        v.push_back(std::move(copy));
        created_[fam(f)] = static_cast<int>(v.size()) - 1;
        if (observer_) observer_->element_created(f, created_[fam(f)]);
    }
    return el(f, n);
}

void Editor::clear_editor() {
    for (Family f : kFamilies) {
        for (int i = 0; i <= created_[fam(f)]; ++i) {
            if (!el(f, i).visible) continue;
            el(f, i).visible = false;
            notify_element(f, i, kAspectVisibility);
        }
    }
}

// --- the build ---

void Editor::reset_build() {
    b_ = BuildState{};
    line_no_ = 0;
    rows_.clear();
    warnings_ = fetch_warnings_;
    fetch_warnings_.clear();
    complete_ = false;
}

void Editor::build_from_description(std::string_view text) {
    if (observer_) observer_->build_started();
    clear_editor();
    reset_build();
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        b_.current_line.assign(line);
        build_line(++line_no_);
        set_content(static_cast<int>(b_.RowTop), content_.top);
        if (observer_) observer_->process_events();
    }
    if (!complete_) warnings_.push_back("the description has no end line (\"Z\")");
    set_content(static_cast<int>(b_.RowTop), top_for_scroll());
    set_baseline();
    if (observer_) observer_->build_finished(static_cast<int>(rows_.size()), warnings_);
}

void Editor::fail_build(const std::string& problem) {
    if (observer_) observer_->build_started();
    clear_editor();
    reset_build();
    warnings_.push_back(problem);
    complete_ = false;
    set_content(0, 0);
    if (observer_) observer_->build_finished(0, warnings_);
}

void Editor::build_line(int line_no) {
    const char letter = b_.current_line.empty() ? '\0' : b_.current_line[0];
    switch (letter) {
        case 'T':
        case 'E':
        case 'M':
        case 'O':
        case 'S':
        case 'I': {
            const kp28::ParsedLine p = kp28::parse_record(b_.current_line);
            if (const auto problem = check_record(p)) {
                // A record that builds no row counts as a line of no kind.
                warn(line_no, *problem);
                b_.last_was_title = false;
                return;
            }
            if (const auto* t = std::get_if<kp28::TitleRecord>(&*p.record)) {
                if (!b_.last_was_title) b_.RowTop += kTitleGap;
                add_title_row(*t);
                b_.last_was_title = true;
                return;
            }
            if (const auto* e = std::get_if<kp28::EnumRecord>(&*p.record)) add_enum_row(*e);
            if (const auto* r = std::get_if<kp28::RangeRecord>(&*p.record)) add_range_row(*r);
            if (const auto* st = std::get_if<kp28::StringRecord>(&*p.record)) add_string_row(*st);
            if (const auto* ip = std::get_if<kp28::IpRecord>(&*p.record)) add_ip_row(*ip);
            b_.last_was_title = false;
            return;
        }
        case 'Z':
            complete_ = true;
            return;
        default:
            b_.last_was_title = false;
            return;
    }
}

// Why the parsed line cannot become a row, or nullopt when it can: it is a
// record of a row, there is room for its row, and every byte it touches
// lies in the image.
std::optional<std::string> Editor::check_record(const kp28::ParsedLine& p) {
    if (p.kind == kp28::ParsedLine::kMalformed) return p.problem;
    if (p.kind != kp28::ParsedLine::kRecord || !p.record) return "not a record";
    if (std::holds_alternative<kp28::EndRecord>(*p.record)) return "not a record";
    if (std::holds_alternative<kp28::TitleRecord>(*p.record)) {
        if (b_.next_title >= kMaxElements) return "more than 1001 titles";
        return std::nullopt;
    }
    if (b_.row_number >= kMaxElements) return "more than 1001 parameter rows";
    const std::string outside = "the parameter reaches outside the 2048-byte image";
    auto number_fits_image = [&](int size, int offset) -> std::optional<std::string> {
        if (size < 1) return "size " + decimal(size) + " is no number size";
        if (!encoding::in_image(offset, std::max(size, encoding::number_read_width(size))))
            return outside;
        return std::nullopt;
    };
    if (const auto* e = std::get_if<kp28::EnumRecord>(&*p.record))
        return number_fits_image(e->size, e->offset);
    if (const auto* r = std::get_if<kp28::RangeRecord>(&*p.record)) {
        if (auto bad = number_fits_image(r->size, r->offset)) return bad;
        if (r->max < r->min) return "maximum below minimum";
        return std::nullopt;
    }
    if (const auto* s = std::get_if<kp28::StringRecord>(&*p.record)) {
        if (s->size < 0) return "size " + decimal(s->size) + " is no string size";
        if (s->offset >= static_cast<int>(kNvmSize) || !encoding::in_image(s->offset, s->size))
            return outside;
        return std::nullopt;
    }
    if (const auto* ip = std::get_if<kp28::IpRecord>(&*p.record)) {
        if (!encoding::in_image(ip->offset, 4)) return outside;
        return std::nullopt;
    }
    return "not a record";
}

void Editor::warn(int line_no, const std::string& problem) {
    std::string w = "line " + decimal(line_no);
    if (!b_.current_line.empty()) w += std::string(" (") + b_.current_line[0] + ")";
    warnings_.push_back(w + ": " + problem);
}

std::string Editor::warnings_summary() const {
    if (warnings_.empty()) return {};
    if (warnings_.size() == 1) return "Parameter description: " + warnings_.front();
    return "Parameter description: " + decimal(static_cast<int>(warnings_.size())) + " problems; " +
           warnings_.front();
}

void Editor::set_slot(std::int16_t size, std::int16_t offset) {
    slots_[static_cast<std::size_t>(b_.row_number)] = ParameterSlot{size, offset};
}

int Editor::slot_value() const {
    return encoding::read_number(image(), slots_[static_cast<std::size_t>(b_.row_number)],
                                 plus_model())
        .value_or(0);
}

const ParameterSlot& Editor::slot(int row) const {
    static const ParameterSlot none;
    if (row < 0 || row >= kMaxElements) return none;
    return slots_[static_cast<std::size_t>(row)];
}

// --- row builders ---
// Each shows what the image holds without writing it: a build leaves every
// byte as it was read, even where the row cannot show the value exactly.

void Editor::add_title_row(const kp28::TitleRecord& rec) {
    const int n = b_.next_title;
    const int top = static_cast<int>(b_.RowTop);
    ElementState& t = ensure(Family::MainTitle, n);
    t.visible = true;
    t.top = top;
    const std::string& label = rec.label;
    t.caption = cp1252_to_utf8(label);
    notify_element(Family::MainTitle, n, kAspectVisibility | kAspectTop | kAspectContent);
    rows_.push_back(Row{RowKind::Title, line_no_, n, -1, top, label});
    b_.next_title += 1;
    b_.RowTop += kRowPitch;
}

void Editor::add_enum_row(const kp28::EnumRecord& rec) {
    const int r = b_.row_number, c = b_.next_list;
    const int top = static_cast<int>(b_.RowTop);
    ensure(Family::ItemTitle, r);
    ensure(Family::Enum, c);
    enum_slot_[static_cast<std::size_t>(c)] = static_cast<std::int16_t>(r);
    ElementState& label = el(Family::ItemTitle, r);
    ElementState& list = el(Family::Enum, c);
    label.top = list.top = top;
    label.visible = list.visible = true;
    const std::string& text = rec.label;
    label.caption = cp1252_to_utf8(text);
    set_slot(rec.size, rec.offset);
    const int v = slot_value();
    const int count = static_cast<int>(rec.items.size());
    list.items.clear();
    for (const auto& item : rec.items) list.items.push_back(cp1252_to_utf8(item));
    // A number that names no item leaves the list without a choice.
    list.selected = v >= 0 && v < count ? v : -1;
    notify_element(Family::ItemTitle, r, kAspectVisibility | kAspectTop | kAspectContent);
    notify_element(Family::Enum, c, kAspectVisibility | kAspectTop | kAspectContent);
    rows_.push_back(Row{RowKind::Enum, line_no_, c, r, top, text});
    b_.next_list += 1;
    b_.RowTop += kRowPitch;
    b_.row_number += 1;
}

void Editor::add_range_row(const kp28::RangeRecord& rec) {
    const int r = b_.row_number, s = b_.next_slider;
    const int top = static_cast<int>(b_.RowTop);
    ensure(Family::ItemTitle, r);
    ensure(Family::MinMax, s);
    range_slot_[static_cast<std::size_t>(s)] = static_cast<std::int16_t>(r);
    ElementState& label = el(Family::ItemTitle, r);
    ElementState& slider = el(Family::MinMax, s);
    label.top = slider.top = top;
    label.visible = slider.visible = true;
    const std::string& text = rec.label;
    label.caption = cp1252_to_utf8(text);
    set_slot(rec.size, rec.offset);
    const int v = slot_value();
    slider.slider_min = rec.min;
    slider.slider_max = rec.max;
    slider.large_step = large_step_of(slider.slider_min, slider.slider_max);
    slider.small_step = 1;
    const std::int16_t bias = rec.bias;
    range_bias_[static_cast<std::size_t>(s)] = bias;
    const int shown = v - bias;
    // The slider stops at its ends; the label says what the row holds.
    slider.slider_value = std::clamp(shown, slider.slider_min, slider.slider_max);
    slider.value_caption = decimal(shown);
    notify_element(Family::ItemTitle, r, kAspectVisibility | kAspectTop | kAspectContent);
    notify_element(Family::MinMax, s, kAspectVisibility | kAspectTop | kAspectContent);
    rows_.push_back(Row{RowKind::Range, line_no_, s, r, top, text});
    b_.next_slider += 1;
    b_.row_number += 1;
    b_.RowTop += kRowPitch;
}

void Editor::add_string_row(const kp28::StringRecord& rec) {
    const int r = b_.row_number, t = b_.next_text;
    const int top = static_cast<int>(b_.RowTop);
    ensure(Family::ItemTitle, r);
    ensure(Family::String, t);
    string_slot_[static_cast<std::size_t>(t)] = static_cast<std::int16_t>(r);
    ElementState& label = el(Family::ItemTitle, r);
    ElementState& box = el(Family::String, t);
    label.top = box.top = top;
    const std::string& text = rec.label;
    label.caption = cp1252_to_utf8(text);
    label.visible = box.visible = true;
    set_slot(rec.size, rec.offset);
    const ParameterSlot& slot = slots_[static_cast<std::size_t>(r)];
    box.max_length = slot.size;
    box.text = cp1252_to_utf8(encoding::read_string(image(), slot));
    notify_element(Family::ItemTitle, r, kAspectVisibility | kAspectTop | kAspectContent);
    notify_element(Family::String, t, kAspectVisibility | kAspectTop | kAspectContent);
    rows_.push_back(Row{RowKind::String, line_no_, t, r, top, text});
    b_.next_text += 1;
    b_.row_number += 1;
    b_.RowTop += kRowPitch;
}

void Editor::add_ip_row(const kp28::IpRecord& rec) {
    const int r = b_.row_number, p = b_.next_ip;
    const int top = static_cast<int>(b_.RowTop);
    ensure(Family::ItemTitle, r);
    ensure(Family::IP, p);
    ip_slot_[static_cast<std::size_t>(p)] = static_cast<std::int16_t>(r);
    ElementState& label = el(Family::ItemTitle, r);
    ElementState& boxes = el(Family::IP, p);
    label.top = boxes.top = top;
    const std::string& text = rec.label;
    label.caption = cp1252_to_utf8(text);
    label.visible = boxes.visible = true;
    set_slot(rec.size, rec.offset);
    const int offset = slots_[static_cast<std::size_t>(r)].offset;
    boxes.max_length = kIpBoxMaxLength;
    for (int k = 0; k < 4; ++k)
        boxes.octets[static_cast<std::size_t>(k)] =
            decimal(image()[static_cast<std::size_t>(offset + k)]);
    notify_element(Family::ItemTitle, r, kAspectVisibility | kAspectTop | kAspectContent);
    notify_element(Family::IP, p, kAspectVisibility | kAspectTop | kAspectContent);
    rows_.push_back(Row{RowKind::Ip, line_no_, p, r, top, text});
    b_.next_ip += 1;
    b_.RowTop += kRowPitch;
    b_.row_number += 1;
}

// --- change handlers ---

namespace {
EditResult refused(std::string why) {
    EditResult r;
    r.accepted = false;
    r.message = std::move(why);
    return r;
}
}  // namespace

EditResult Editor::cmb_Enum_Click(int i, int selected) {
    if (i < 0 || i >= b_.next_list) return refused("no list " + decimal(i));
    ElementState& list = el(Family::Enum, i);
    const int count = static_cast<int>(list.items.size());
    if (selected < 0 || selected >= count)
        return refused("no item " + decimal(selected) + " (the list has " + decimal(count) +
                       " items)");
    const ParameterSlot& slot =
        slots_[static_cast<std::size_t>(enum_slot_[static_cast<std::size_t>(i)])];
    // The choice is one byte, whatever the size field says.
    if (!encoding::write_number(image(), ParameterSlot{1, slot.offset}, selected, plus_model()))
        return refused("item " + decimal(selected) + " cannot be stored in one byte");
    list.selected = selected;
    notify_element(Family::Enum, i, kAspectContent);
    update_marks();
    return {};
}

EditResult Editor::range_edit(int i, int value) {
    if (i < 0 || i >= b_.next_slider) return refused("no slider " + decimal(i));
    ElementState& slider = el(Family::MinMax, i);
    if (value < slider.slider_min || value > slider.slider_max)
        return refused(decimal(value) + " is outside " + decimal(slider.slider_min) + ".." +
                       decimal(slider.slider_max));
    const int bias = range_bias_[static_cast<std::size_t>(i)];
    const ParameterSlot& slot =
        slots_[static_cast<std::size_t>(range_slot_[static_cast<std::size_t>(i)])];
    const int stored = bias + value;
    if (!encoding::write_number(image(), slot, stored, plus_model())) {
        // The window's slider moved; it goes back to where the row stands.
        notify_element(Family::MinMax, i, kAspectContent);
        const int width = encoding::number_write_width(slot.size);
        return refused(decimal(value) + " with bias " + decimal(bias) + " is stored as " +
                       decimal(stored) + ", which " + (width == 2 ? "two bytes" : "one byte") +
                       " cannot hold");
    }
    slider.slider_value = value;
    slider.value_caption = decimal(value);
    notify_element(Family::MinMax, i, kAspectContent);
    update_marks();
    return {};
}

EditResult Editor::hsr_MinMax_Scroll(int i, int value) {
    return range_edit(i, value);
}

EditResult Editor::hsr_MinMax_Change(int i, int value) {
    return range_edit(i, value);
}

EditResult Editor::txt_string_Change(int i, const std::string& text_utf8) {
    if (i < 0 || i >= b_.next_text) return refused("no text box " + decimal(i));
    ElementState& box = el(Family::String, i);
    const ParameterSlot& slot =
        slots_[static_cast<std::size_t>(string_slot_[static_cast<std::size_t>(i)])];
    auto put_back = [&](std::string why) {
        EditResult r = refused(std::move(why));
        r.restored_text = box.text;
        notify_element(Family::String, i, kAspectContent);
        return r;
    };
    const auto bytes = utf8_to_cp1252(text_utf8);
    if (!bytes) return put_back("the text has characters that are not single-byte characters");
    if (bytes->find('\0') != std::string::npos) return put_back("the text holds a zero character");
    if (bytes->size() > static_cast<std::size_t>(slot.size))
        return put_back("the text is longer than the field's " + decimal(slot.size) +
                        " characters");
    encoding::write_string(image(), slot, *bytes);
    box.text = text_utf8;
    notify_element(Family::String, i, kAspectContent);
    update_marks();
    return {};
}

EditResult Editor::txt_IP_Change(int i, int octet, const std::string& text) {
    if (i < 0 || i >= b_.next_ip) return refused("no address boxes " + decimal(i));
    if (octet < 1 || octet > 4) return refused("no octet " + decimal(octet));
    ElementState& boxes = el(Family::IP, i);
    const ParameterSlot& slot =
        slots_[static_cast<std::size_t>(ip_slot_[static_cast<std::size_t>(i)])];
    const auto at = static_cast<std::size_t>(slot.offset + octet - 1);
    auto& box = boxes.octets[static_cast<std::size_t>(octet - 1)];
    const auto v = encoding::octet_value(text);
    if (!v) {
        // The box shows the stored octet again; the image keeps it.
        box = decimal(image()[at]);
        notify_element(Family::IP, i, kAspectContent);
        EditResult r =
            refused("octet " + decimal(octet) + ": \"" + text + "\" is not a number from 0 to 255");
        r.restored_text = box;
        return r;
    }
    image()[at] = static_cast<std::uint8_t>(*v);
    box = text;
    notify_element(Family::IP, i, kAspectContent);
    update_marks();
    return {};
}

// --- edited rows ---

std::string Editor::row_value_in(const Row& row, const encoding::Image& img) const {
    const ParameterSlot& s = slot(row.row);
    const auto element = static_cast<std::size_t>(row.element);
    switch (row.kind) {
        case RowKind::Title:
            return {};
        case RowKind::Enum: {
            const auto n = encoding::read_number(img, s, plus_model());
            const auto& items = elements_[fam(Family::Enum)][element].items;
            if (n && *n >= 0 && static_cast<std::size_t>(*n) < items.size())
                return items[static_cast<std::size_t>(*n)];
            return n ? "(no item for " + decimal(*n) + ")" : std::string();
        }
        case RowKind::Range: {
            const auto n = encoding::read_number(img, s, plus_model());
            return n ? decimal(*n - range_bias_[element]) : std::string();
        }
        case RowKind::String:
            return cp1252_to_utf8(encoding::read_string(img, s));
        case RowKind::Ip:
            return join_octets(img, s.offset);
    }
    return {};
}

void Editor::set_baseline() {
    baseline_ = image();
    update_marks();
}

std::string Editor::baseline_row_value(int row) const {
    for (const Row& r : rows_)
        if (r.kind != RowKind::Title && r.row == row) return row_value_in(r, baseline_);
    return {};
}

bool Editor::row_edited(int row) const {
    const auto& labels = elements_[fam(Family::ItemTitle)];
    if (row < 0 || static_cast<std::size_t>(row) >= labels.size()) return false;
    return labels[static_cast<std::size_t>(row)].edited;
}

void Editor::update_marks() {
    for (const Row& r : rows_) {
        if (r.kind == RowKind::Title) continue;
        const std::string was = row_value_in(r, baseline_);
        const bool edited = row_value_in(r, image()) != was;
        ElementState& label = el(Family::ItemTitle, r.row);
        if (label.edited == edited && label.read_value == was) continue;
        label.edited = edited;
        label.read_value = was;
        notify_element(Family::ItemTitle, r.row, kAspectContent);
    }
}

// --- scrolling ---

int Editor::top_for_scroll() const {
    const int over = static_cast<int>(b_.RowTop) - kPicture2.height;
    // Content that fits the viewport stays where it is.
    if (over <= 0 || scroll_max_ <= 0) return 0;
    const int value = std::clamp(scroll_value_, 0, scroll_max_);
    return -static_cast<int>(std::llround(static_cast<double>(over) * value / scroll_max_));
}

int Editor::VScroll1_Change(int value, int maximum) {
    scroll_value_ = value;
    scroll_max_ = maximum;
    set_content(content_.height, top_for_scroll());
    return content_.top;
}

// --- the rows as they stand ---

std::vector<RowView> Editor::rows() const {
    std::vector<RowView> out;
    out.reserve(rows_.size());
    const auto& img = image();
    for (const Row& row : rows_) {
        RowView v;
        v.kind = row.kind;
        v.label = cp1252_to_utf8(row.label_bytes);
        v.top = row.top;
        v.line = row.line;
        v.element = row.element;
        v.row = row.row;
        if (row.kind != RowKind::Title) {
            const ParameterSlot& s = slot(row.row);
            v.offset = s.offset;
            v.size = s.size;
        }
        const ElementState& e =
            elements_[fam(row_family(row.kind))][static_cast<std::size_t>(row.element)];
        switch (row.kind) {
            case RowKind::Title:
                break;
            case RowKind::Enum:
                v.stored = encoding::read_number(img, slot(row.row), plus_model()).value_or(0);
                v.items = e.items;
                v.index = e.selected;
                if (e.selected >= 0) v.value = e.items[static_cast<std::size_t>(e.selected)];
                break;
            case RowKind::Range:
                v.stored = encoding::read_number(img, slot(row.row), plus_model()).value_or(0);
                v.bias = range_bias_[static_cast<std::size_t>(row.element)];
                // What the value label shows: a size the write cannot give
                // back whole (read as two bytes, written as one) still shows
                // the number the operator chose.
                v.value = e.value_caption;
                v.min = e.slider_min;
                v.max = e.slider_max;
                v.large_step = e.large_step;
                break;
            case RowKind::String:
                v.value = cp1252_to_utf8(encoding::read_string(img, slot(row.row)));
                break;
            case RowKind::Ip:
                v.value = join_octets(img, v.offset);
                break;
        }
        out.push_back(std::move(v));
    }
    return out;
}

}  // namespace kp28setup
