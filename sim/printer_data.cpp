// What a printer holds before anyone talks to it: its name, its setup memory
// as it left the factory and the description of its parameters. The layout is
// modelled on a passbook printer: communication settings, print settings,
// passbook handling, each parameter inside the 2048-byte image.
#include <kp28/protocol/commands.h>
#include <kp28/protocol/description.h>
#include <kp28/protocol/model.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string_view>

#include "kp28sim/engine.h"
#include "kp28sim/virtual_printer.h"

namespace kp28sim {

namespace {

void put_text(std::vector<std::uint8_t>& nvm, std::size_t offset, std::size_t size,
              std::string_view text) {
    for (std::size_t i = 0; i < size; ++i)
        nvm[offset + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
}

// Two-byte numbers follow the model's byte order, as the checksum does.
void put16(std::vector<std::uint8_t>& nvm, std::size_t offset, std::uint16_t v, Model m) {
    kp28::put_model_u16(m, &nvm[offset], v);
}

// Where the parameters lie. Shared by the image and its description so that
// the two cannot drift apart.
enum Offset : std::size_t {
    kOffBaud = 32,
    kOffParity = 33,
    kOffHandshake = 34,
    kOffIp = 36,
    kOffMask = 40,
    kOffGateway = 44,
    kOffTcpPort = 48,
    kOffDensity = 64,
    kOffLineSpacing = 66,
    kOffCharset = 68,
    kOffEmulation = 69,
    kOffHeaderText = 80,
    kOffTopMargin = 112,
    kOffLeftMargin = 114,
    kOffMsrRetries = 116,
    kOffBranch = 120,
    kOffHeadTemp = 128,
};

}  // namespace

bool passes_usb_id_check(const std::string& name) {
    return kp28::usb_id_feature(name);
}

std::string default_product_name(Model model, bool usb_id_feature) {
    // Position 10 carries the interface letter that the tools look at.
    if (is_plus(model)) return usb_id_feature ? "KP28plus PB U2" : "KP28plus PB S2";
    return usb_id_feature ? "KP28 PB-I U2" : "KP28 PB-I S2";
}

std::vector<std::uint8_t> default_nvm(Model model) {
    std::vector<std::uint8_t> nvm(kNvmSize, 0);
    put_text(nvm, 0, 8, is_plus(model) ? "KPB2.10 " : "KPA1.40 ");
    put_text(nvm, 8, 16, is_plus(model) ? "PASSBOOK 28 PLUS" : "PASSBOOK 28 STD ");
    nvm[kOffBaud] = 3;       // 9600
    nvm[kOffParity] = 0;     // none
    nvm[kOffHandshake] = 1;  // RTS/CTS
    const std::uint8_t ip[] = {192, 168, 0, 100}, mask[] = {255, 255, 255, 0},
                       gw[] = {192, 168, 0, 1};
    std::memcpy(&nvm[kOffIp], ip, 4);
    std::memcpy(&nvm[kOffMask], mask, 4);
    std::memcpy(&nvm[kOffGateway], gw, 4);
    put16(nvm, kOffTcpPort, 9100, model);
    nvm[kOffDensity] = 5;  // shown as 0 (bias 5)
    put16(nvm, kOffLineSpacing, 180, model);
    nvm[kOffCharset] = 1;
    nvm[kOffEmulation] = 0;
    put_text(nvm, kOffHeaderText, 20, "WELCOME");
    put16(nvm, kOffTopMargin, 120, model);
    put16(nvm, kOffLeftMargin, 60, model);
    nvm[kOffMsrRetries] = 3;
    put_text(nvm, kOffBranch, 8, "0001");
    put16(nvm, kOffHeadTemp, static_cast<std::uint16_t>(-10 + 40),
          model);  // shown as -10 (bias 40)
    // A recognisable tail, so that a transfer that loses or shifts bytes shows.
    for (std::size_t i = 1024; i < kNvmSize; ++i) nvm[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return nvm;
}

std::string default_description(Model model) {
    using kp28::EnumRecord, kp28::IpRecord, kp28::RangeRecord, kp28::StringRecord,
        kp28::TitleRecord;
    auto at = [](Offset o) { return static_cast<std::int16_t>(o); };
    const std::vector<kp28::DescriptionRecord> records = {
        TitleRecord{"COMMUNICATION"},
        EnumRecord{"Serial speed", 1, at(kOffBaud), {"1200", "2400", "4800", "9600", "19200"}},
        EnumRecord{"Parity", 1, at(kOffParity), {"None", "Even", "Odd"}},
        EnumRecord{"Handshake", 1, at(kOffHandshake), {"None", "RTS/CTS", "XON/XOFF"}},
        IpRecord{"IP address", 4, at(kOffIp)},
        IpRecord{"Net mask", 4, at(kOffMask)},
        IpRecord{"Gateway", 4, at(kOffGateway)},
        RangeRecord{'M', "TCP port", 2, at(kOffTcpPort), 1, 32767, 0},
        TitleRecord{"PRINTING"},
        RangeRecord{'M', "Print density", 1, at(kOffDensity), -5, 5, 5},
        RangeRecord{'O', "Line spacing (1/720 in)", 2, at(kOffLineSpacing), 0, 600, 0},
        EnumRecord{
            "Character set", 1, at(kOffCharset), {"PC 437", "PC 850", "ISO 8859-1", "ISO 8859-15"}},
        EnumRecord{"Emulation", 1, at(kOffEmulation), {"Native", "PR2 compatible"}},
        StringRecord{"Header text", 20, at(kOffHeaderText)},
        TitleRecord{"PASSBOOK"},
        RangeRecord{'M', "Top margin (1/720 in)", 2, at(kOffTopMargin), 0, 1000, 0},
        RangeRecord{'M', "Left margin (1/720 in)", 2, at(kOffLeftMargin), 0, 1000, 0},
        RangeRecord{'O', "Magnetic stripe retries", 1, at(kOffMsrRetries), 0, 9, 0},
        StringRecord{"Branch code", 8, at(kOffBranch)},
        RangeRecord{'O', "Head temperature offset", 2, at(kOffHeadTemp), -40, 40, 40},
        kp28::EndRecord{},
    };
    (void)model;  // same parameters on both models; their byte order differs in the image
    return kp28::format_description(records);
}

PrinterConfig complete_config(PrinterConfig c) {
    if (c.firmware_version.size() != kp28::kVersionLength)
        throw std::invalid_argument("the firmware version has 5 characters");
    if (c.usb_id.size() > kp28::kUsbIdLength)
        throw std::invalid_argument("the USB identifier has at most 32 characters");
    if (c.product_name.empty()) c.product_name = default_product_name(c.model, c.usb_id_feature);
    if (c.product_name.size() > kp28::kProductNameLength)
        throw std::invalid_argument("the product name has at most 17 characters");
    if (c.mfg_defaults.empty()) c.mfg_defaults = default_nvm(c.model);
    if (c.nvm.empty()) {
        c.nvm = c.mfg_defaults;
        // A printer that has been in service: a few settings differ from the
        // factory's, so that a restore shows.
        c.nvm[kOffDensity] = 7;
        const char branch[] = "0042";
        std::copy(branch, branch + 4, c.nvm.begin() + kOffBranch);
    }
    if (c.nvm.size() != kNvmSize || c.mfg_defaults.size() != kNvmSize)
        throw std::invalid_argument("NVM images have 2048 bytes");
    if (c.description.empty()) c.description = default_description(c.model);
    return c;
}

PrinterState::PrinterState(const PrinterConfig& c)
    : model(c.model),
      version_rule(c.version_rule),
      version(c.firmware_version),
      name(c.product_name),
      usb_id(c.usb_id),
      nvm(c.nvm),
      mfg(c.mfg_defaults),
      description(c.description),
      usb_id_feature(c.usb_id_feature),
      faults(c.faults),
      setup_mode(c.start_in_setup_mode) {}

namespace {

bool printable(std::uint8_t c) {
    return c >= 0x20 && c < 0x7F;
}

std::optional<std::string> version_in(std::span<const std::uint8_t> bytes) {
    static constexpr std::string_view marker = "KP28FW:";
    if (bytes.size() < marker.size() + 5) return std::nullopt;
    for (std::size_t i = 0; i + marker.size() + 5 <= bytes.size(); ++i) {
        if (std::memcmp(&bytes[i], marker.data(), marker.size()) != 0) continue;
        const std::uint8_t* v = &bytes[i + marker.size()];
        bool ok = true;
        for (int k = 0; k < 5; ++k) ok = ok && printable(v[k]);
        if (ok) return std::string(reinterpret_cast<const char*>(v), 5);
    }
    return std::nullopt;
}

std::string increment(std::string v) {
    int last_digit = -1;
    for (int i = static_cast<int>(v.size()) - 1; i >= 0; --i)
        if (v[i] >= '0' && v[i] <= '9') {
            last_digit = i;
            break;
        }
    if (last_digit < 0) {
        if (v.empty()) return v;
        char& c = v.back();
        c = (c >= '~' || c < '!') ? '!' : static_cast<char>(c + 1);
        return v;
    }
    // Carry through the digits before it, stepping over non-digits ("1.09" -> "1.10").
    for (int i = last_digit; i >= 0; --i) {
        if (v[i] < '0' || v[i] > '9') continue;
        if (v[i] != '9') {
            ++v[i];
            return v;
        }
        v[i] = '0';
    }
    return v;
}

}  // namespace

std::string version_after_load(VersionRule rule, const std::string& old_version,
                               const LoadedImage& image) {
    switch (rule) {
        case VersionRule::Keep:
            return old_version;
        case VersionRule::FromImage:
            if (image.header)
                if (auto v = version_in(*image.header)) return *v;
            if (auto v = version_in(image.data)) return *v;
            return increment(old_version);
        case VersionRule::Increment:
            return increment(old_version);
    }
    return old_version;
}

}  // namespace kp28sim
