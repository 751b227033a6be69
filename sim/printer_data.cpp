// What a printer holds before anyone talks to it: its name, its setup memory
// as it left the factory and the description of its parameters. The layout is
// modelled on a passbook printer: communication settings, print settings,
// passbook handling, each parameter inside the 2048-byte image.
#include "kp28sim/virtual_printer.h"

#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

namespace kp28sim {

namespace {

bool is_plus(Model m) { return m == Model::KP28Plus; }

void put_text(std::vector<std::uint8_t>& nvm, std::size_t offset, std::size_t size,
              std::string_view text) {
    for (std::size_t i = 0; i < size; ++i)
        nvm[offset + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
}

// Two-byte numbers follow the model's byte order, as the checksum does.
void put16(std::vector<std::uint8_t>& nvm, std::size_t offset, std::uint16_t v, Model m) {
    const auto lo = static_cast<std::uint8_t>(v);
    const auto hi = static_cast<std::uint8_t>(v >> 8);
    nvm[offset] = is_plus(m) ? lo : hi;
    nvm[offset + 1] = is_plus(m) ? hi : lo;
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
    if (name.compare(0, 8, "KP28plus") == 0) return true;
    const std::size_t pos = name.compare(0, 5, "VORKA") == 0 ? 16 : 10;
    return pos < name.size() && name[pos] == 'U';
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
    put16(nvm, kOffHeadTemp, static_cast<std::uint16_t>(-10 + 40), model);  // shown as -10 (bias 40)
    // A recognisable tail, so that a transfer that loses or shifts bytes shows.
    for (std::size_t i = 1024; i < kNvmSize; ++i) nvm[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return nvm;
}

std::string default_description(Model model) {
    auto line = [](std::string_view fields) {
        std::string out(fields);
        return out + "\t\r\n";
    };
    auto n = [](std::size_t v) { return std::to_string(v); };
    std::string d;
    d += line("T\tCOMMUNICATION");
    d += line("E\tSerial speed\t1\t" + n(kOffBaud) + "\t5\t1200\t2400\t4800\t9600\t19200");
    d += line("E\tParity\t1\t" + n(kOffParity) + "\t3\tNone\tEven\tOdd");
    d += line("E\tHandshake\t1\t" + n(kOffHandshake) + "\t3\tNone\tRTS/CTS\tXON/XOFF");
    d += line("I\tIP address\t4\t" + n(kOffIp));
    d += line("I\tNet mask\t4\t" + n(kOffMask));
    d += line("I\tGateway\t4\t" + n(kOffGateway));
    d += line("M\tTCP port\t2\t" + n(kOffTcpPort) + "\t1\t32767\t0");
    d += line("T\tPRINTING");
    d += line("M\tPrint density\t1\t" + n(kOffDensity) + "\t-5\t5\t5");
    d += line("O\tLine spacing (1/720 in)\t2\t" + n(kOffLineSpacing) + "\t0\t600\t0");
    d += line("E\tCharacter set\t1\t" + n(kOffCharset) + "\t4\tPC 437\tPC 850\tISO 8859-1\tISO 8859-15");
    d += line("E\tEmulation\t1\t" + n(kOffEmulation) + "\t2\tNative\tPR2 compatible");
    d += line("S\tHeader text\t20\t" + n(kOffHeaderText));
    d += line("T\tPASSBOOK");
    d += line("M\tTop margin (1/720 in)\t2\t" + n(kOffTopMargin) + "\t0\t1000\t0");
    d += line("M\tLeft margin (1/720 in)\t2\t" + n(kOffLeftMargin) + "\t0\t1000\t0");
    d += line("O\tMagnetic stripe retries\t1\t" + n(kOffMsrRetries) + "\t0\t9\t0");
    d += line("S\tBranch code\t8\t" + n(kOffBranch));
    d += line("O\tHead temperature offset\t2\t" + n(kOffHeadTemp) + "\t-40\t40\t40");
    d += "Z\t\r\n";
    (void)model;  // same parameters on both models; their byte order differs in the image
    return d;
}

namespace {

bool printable(std::uint8_t c) { return c >= 0x20 && c < 0x7F; }

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

std::string format_transcript_line(const TranscriptEntry& e) {
    char head[64];
    std::snprintf(head, sizeof head, "%.6f ", e.seconds);
    std::string out = head;
    out += e.link;
    out += e.direction == Direction::ToPrinter ? " in" : " out";
    if (e.kind == LinkKind::Serial) out += " @" + std::to_string(e.speed);
    static const char* hex = "0123456789ABCDEF";
    for (std::uint8_t b : e.bytes) {
        out += ' ';
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

}  // namespace kp28sim
