// What the parameter editor must do for any description and image a printer
// sends: the build leaves every byte of the image as it was, a rebuild from
// the same description gives the same rows, and an edit through the window's
// change handlers changes no byte outside the row it was made in (none at all
// when refused) and stores what it was given. Shared by the fuzz target and
// the replay in the test suite; an empty result means every property held.
//
// Input layout:
//   byte 0        flags: bit 0 KP28Plus byte order, bit 1 build twice, bit 2
//                 build over an editor that showed other rows before
//   bytes 1, 2    description length D (little-endian; cut to what is there)
//   byte 3        edit bytes E (cut to what is there)
//   D bytes       the description
//   E bytes       edits, each: op, index (2 bytes, little-endian), n, n bytes
//                 op % 8: 0 list choice, 1 slider drag, 2 slider change,
//                 3 text, 4 .. 7 address octet 1 .. 4; op bit 7 maps the value
//                 into the control's range. index 0xFFFF is -1, else it is
//                 taken modulo the family's rows + 1 (one past the end too).
//   the rest      the image, repeated to 2048 bytes (zeros when empty)
#pragma once

#include <kp28setup/editor.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzcheck {

using EditorImage = std::array<std::uint8_t, kp28setup::kNvmSize>;

struct EditorInput {
    bool plus = false;
    bool build_twice = false;
    bool build_over = false;
    std::string_view description;
    std::string_view edits;
    EditorImage image{};
};

inline EditorInput split_editor_input(std::string_view data) {
    EditorInput in;
    if (data.size() < 4) return in;
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(data[k]); };
    in.plus = (byte(0) & 1) != 0;
    in.build_twice = (byte(0) & 2) != 0;
    in.build_over = (byte(0) & 4) != 0;
    std::size_t d = byte(1) | static_cast<std::size_t>(byte(2)) << 8;
    std::size_t e = byte(3);
    data.remove_prefix(4);
    d = std::min(d, data.size());
    in.description = data.substr(0, d);
    data.remove_prefix(d);
    e = std::min(e, data.size());
    in.edits = data.substr(0, e);
    data.remove_prefix(e);
    if (!data.empty())
        for (std::size_t k = 0; k < in.image.size(); ++k)
            in.image[k] = static_cast<std::uint8_t>(data[k % data.size()]);
    return in;
}

// The bytes a row's edit may touch: [first, first + count).
struct ByteRange {
    int first = 0;
    int count = 0;
};

// Taken from the record's meaning, not from the editor's code: a choice is
// one byte, a number two bytes for size 2 and one otherwise, a text its size
// bytes, an address octet its own byte.
inline ByteRange row_bytes(const kp28setup::RowView& r, int octet = 0) {
    switch (r.kind) {
        case kp28setup::RowKind::Enum:
            return {r.offset, 1};
        case kp28setup::RowKind::Range:
            return {r.offset, r.size == 2 ? 2 : 1};
        case kp28setup::RowKind::String:
            return {r.offset, r.size};
        case kp28setup::RowKind::Ip:
            return octet ? ByteRange{r.offset + octet - 1, 1} : ByteRange{r.offset, 4};
        case kp28setup::RowKind::Title:
            break;
    }
    return {};
}

inline std::string row_name(const kp28setup::RowView& r) {
    return std::string(kp28setup::row_kind_name(r.kind)) + " row " + std::to_string(r.element) +
           " (line " + std::to_string(r.line) + ", offset " + std::to_string(r.offset) + ", size " +
           std::to_string(r.size) + ")";
}

inline std::string rows_fault(const std::vector<kp28setup::RowView>& rows) {
    int parameters = 0;
    std::array<int, 5> per_kind{};
    for (const auto& r : rows) {
        auto& next = per_kind[static_cast<std::size_t>(r.kind)];
        if (r.element != next) return row_name(r) + " out of its family's order";
        ++next;
        if (r.kind == kp28setup::RowKind::Title) continue;
        if (r.row != parameters++) return row_name(r) + " has the wrong row number";
        const ByteRange b = row_bytes(r);
        if (b.first < 0 || b.count < 0 || b.first + b.count > static_cast<int>(kp28setup::kNvmSize))
            return row_name(r) + " reaches outside the image";
    }
    if (parameters > kp28setup::kMaxElements) return "more parameter rows than the editor holds";
    return {};
}

struct Edit {
    int op = 0;
    int index = 0;
    std::string payload;
};

inline std::vector<Edit> split_edits(std::string_view data) {
    std::vector<Edit> out;
    while (data.size() >= 4) {
        Edit e;
        e.op = static_cast<std::uint8_t>(data[0]);
        e.index = static_cast<std::uint8_t>(data[1]) | static_cast<std::uint8_t>(data[2]) << 8;
        const std::size_t n =
            std::min<std::size_t>(static_cast<std::uint8_t>(data[3]), data.size() - 4);
        e.payload.assign(data.substr(4, n));
        data.remove_prefix(4 + n);
        out.push_back(std::move(e));
    }
    return out;
}

inline int payload_number(const std::string& p) {
    const auto at = [&](std::size_t k) {
        return k < p.size() ? static_cast<std::uint8_t>(p[k]) : std::uint8_t{0};
    };
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(at(0) | at(1) << 8));
}

// How the edits of an input went, for seeing that a corpus reaches the image.
struct EditTally {
    int accepted = 0;
    int refused = 0;
    int bytes_changed = 0;
};

// One edit through its change handler; empty when the image changed as it may.
// rows: those of the build (where each row lies does not change with edits).
inline std::string edit_fault(kp28setup::Editor& ed, const std::vector<kp28setup::RowView>& rows,
                              const Edit& e, EditTally& tally) {
    using kp28setup::RowKind;
    static constexpr RowKind kKinds[] = {RowKind::Enum,   RowKind::Range, RowKind::Range,
                                         RowKind::String, RowKind::Ip,    RowKind::Ip,
                                         RowKind::Ip,     RowKind::Ip};
    const int handler = e.op % 8;
    const bool in_range = (e.op & 0x80) != 0;
    const RowKind kind = kKinds[handler];
    std::vector<const kp28setup::RowView*> family;
    for (const auto& r : rows)
        if (r.kind == kind) family.push_back(&r);
    const int count = static_cast<int>(family.size());
    const int i = e.index == 0xFFFF ? -1 : e.index % (count + 1);
    const kp28setup::RowView* row =
        i >= 0 && i < count ? family[static_cast<std::size_t>(i)] : nullptr;
    const int octet = handler >= 4 ? handler - 3 : 0;

    const EditorImage before = ed.image();
    kp28setup::EditResult result;
    int value = payload_number(e.payload);
    switch (handler) {
        case 0:
            if (in_range && row)
                value = static_cast<int>(static_cast<unsigned>(value + 32768) %
                                         (row->items.size() + 1));
            result = ed.cmb_Enum_Click(i, value);
            break;
        case 1:
        case 2:
            if (in_range && row && row->max >= row->min)
                value = row->min + static_cast<int>(static_cast<long>(value + 32768) %
                                                    (static_cast<long>(row->max) - row->min + 1));
            result = handler == 1 ? ed.hsr_MinMax_Scroll(i, value) : ed.hsr_MinMax_Change(i, value);
            break;
        case 3:
            result = ed.txt_string_Change(i, e.payload);
            break;
        default:
            result = ed.txt_IP_Change(i, octet, e.payload);
            break;
    }
    const EditorImage& after = ed.image();
    const std::string what = std::string(kp28setup::row_kind_name(kind)) + " edit " +
                             std::to_string(handler) + " of element " + std::to_string(i);
    if (!row && result.accepted) return what + " accepted for a row that does not exist";
    if (!result.accepted) {
        ++tally.refused;
        if (before != after)
            return what + " refused (" + result.message + ") yet changed the image";
        return {};
    }
    ++tally.accepted;
    const ByteRange own = row_bytes(*row, octet);
    for (int k = 0; k < static_cast<int>(after.size()); ++k) {
        if (before[static_cast<std::size_t>(k)] == after[static_cast<std::size_t>(k)]) continue;
        ++tally.bytes_changed;
        if (k < own.first || k >= own.first + own.count)
            return what + " changed byte " + std::to_string(k) + " outside " + row_name(*row);
    }
    // The row holds what it was given.
    const auto at = [&](int k) { return static_cast<int>(after[static_cast<std::size_t>(k)]); };
    switch (kind) {
        case RowKind::Enum:
            if (at(row->offset) != value) return what + " did not store the choice";
            break;
        case RowKind::Range: {
            const int stored = row->bias + value;
            const int got = row->size == 2
                                ? (ed.plus_model() ? at(row->offset) + 256 * at(row->offset + 1)
                                                   : 256 * at(row->offset) + at(row->offset + 1))
                                : at(row->offset);
            if (got != stored) return what + " did not store bias + value";
            break;
        }
        case RowKind::String: {
            const auto bytes = kp28setup::utf8_to_cp1252(e.payload);
            if (!bytes) return what + " accepted text that has no single-byte form";
            if (static_cast<int>(bytes->size()) > row->size)
                return what + " accepted text longer than its field";
            for (std::size_t k = 0; k < bytes->size(); ++k)
                if (at(row->offset + static_cast<int>(k)) != static_cast<std::uint8_t>((*bytes)[k]))
                    return what + " did not store the text";
            if (static_cast<int>(bytes->size()) < row->size &&
                at(row->offset + static_cast<int>(bytes->size())) != 0)
                return what + " did not end the text";
            break;
        }
        case RowKind::Ip: {
            int want = 0;
            const char* end = e.payload.data() + e.payload.size();
            if (!e.payload.empty() &&
                (std::from_chars(e.payload.data(), end, want).ptr != end || want < 0 || want > 255))
                return what + " accepted an octet that is no number from 0 to 255";
            if (at(row->offset + octet - 1) != want) return what + " did not store the octet";
            break;
        }
        case RowKind::Title:
            break;
    }
    return {};
}

// Rows of every kind with long lists and texts, for a build that reuses the
// window's controls.
inline std::string earlier_description() {
    std::string d = "T\tearlier\t\r\n";
    for (int k = 0; k < 40; ++k) {
        const std::string at = std::to_string(k * 50);
        switch (k % 4) {
            case 0:
                d += "E\tlist\t1\t" + at + "\t5\tone\ttwo\tthree\tfour\tfive\t\r\n";
                break;
            case 1:
                d += "M\tnumber\t2\t" + at + "\t-100\t100\t100\t\r\n";
                break;
            case 2:
                d += "S\ttext\t30\t" + at + "\t\r\n";
                break;
            default:
                d += "I\taddress\t4\t" + at + "\t\r\n";
        }
        if (k % 10 == 9) d += "T\tmore\t\r\n";
    }
    return d + "Z\t\r\n";
}

// The controls ed shows are those a fresh editor shows for the same build.
inline std::string same_controls_fault(const kp28setup::Editor& ed,
                                       const kp28setup::Editor& fresh) {
    for (const auto f : kp28setup::kFamilies)
        for (int i = 0; i <= ed.created_count(f); ++i) {
            const auto mine = ed.element(f, i), theirs = fresh.element(f, i);
            if (mine.visible != theirs.visible || (mine.visible && mine != theirs))
                return std::string("built over other rows, ") + kp28setup::family_name(f) + " " +
                       std::to_string(i) + " differs from a fresh build";
        }
    return {};
}

inline std::string editor_fault(std::string_view data, EditTally* tally = nullptr) {
    EditTally own_tally;
    if (!tally) tally = &own_tally;
    const EditorInput in = split_editor_input(data);
    kp28setup::Editor ed;
    ed.set_image(in.image, in.plus);
    if (in.build_over) {
        ed.build_from_description(earlier_description());
        ed.set_image(in.image, in.plus);
    }
    ed.build_from_description(in.description);
    if (ed.image() != in.image) return "the build changed the image";
    const auto rows = ed.rows();
    if (auto fault = rows_fault(rows); !fault.empty()) return fault;
    if (in.build_over) {
        kp28setup::Editor fresh;
        fresh.set_image(in.image, in.plus);
        fresh.build_from_description(in.description);
        if (fresh.rows() != rows)
            return "built over other rows, the rows differ from a fresh build";
        if (auto fault = same_controls_fault(ed, fresh); !fault.empty()) return fault;
    }
    if (in.build_twice) {
        ed.build_from_description(in.description);
        if (ed.image() != in.image) return "the second build changed the image";
        if (ed.rows() != rows) return "the second build gave other rows";
    }
    constexpr std::size_t kMaxEdits = 64;
    const auto edits = split_edits(in.edits);
    for (std::size_t k = 0; k < edits.size() && k < kMaxEdits; ++k)
        if (auto fault = edit_fault(ed, rows, edits[k], *tally); !fault.empty())
            return "edit " + std::to_string(k + 1) + ": " + fault;
    // The rows read back from the edited image, as the window shows them.
    if (auto fault = rows_fault(ed.rows()); !fault.empty()) return "after the edits, " + fault;
    return {};
}

}  // namespace fuzzcheck
