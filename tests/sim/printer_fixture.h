// A virtual printer in a fresh fake sysroot, with short restarts, and the
// helpers the dialogue and fault tests share.
#pragma once

#include <gtest/gtest.h>
#include <kp28/fake_sysroot.h>
#include <kp28/nvm_crc.h>
#include <kp28sim/virtual_printer.h>

#include <memory>

#include "raw_port.h"

namespace simtest {

using namespace std::chrono_literals;
using kp28sim::Direction;
using kp28sim::LinkKind;
using kp28sim::Model;

constexpr auto kDeadline = 10s;

class PrinterTest : public ::testing::Test {
  protected:
    static kp28sim::PrinterConfig config(Model model = Model::KP28Plus) {
        kp28sim::PrinterConfig c;
        c.model = model;
        c.reboot_downtime = 150ms;
        c.tcp_port = 0;
        return c;
    }
    kp28sim::VirtualPrinter& start(kp28sim::PrinterConfig c = config()) {
        printer_ = std::make_unique<kp28sim::VirtualPrinter>(root_, std::move(c));
        printer_->start();
        return *printer_;
    }
    kp28sim::VirtualPrinter& printer() { return *printer_; }

    RawPort usb() { return RawPort::node(printer_->usb_node()); }
    RawPort serial(speed_t speed) { return RawPort::node(printer_->serial_node(), speed); }
    RawPort parallel() { return RawPort::node(printer_->parallel_node()); }
    RawPort tcp() { return RawPort::tcp(printer_->tcp_port()); }
    RawPort open(LinkKind kind) {
        switch (kind) {
            case LinkKind::Usb:
                return usb();
            case LinkKind::Serial:
                return serial(B9600);
            case LinkKind::Parallel:
                return parallel();
            case LinkKind::Tcp:
                return tcp();
        }
        throw std::logic_error("link");
    }

    // The printer has read n bytes from links of this kind. A tool that
    // changes the line speed waits for its bytes to leave first.
    bool received(LinkKind kind, std::size_t n) {
        return printer_->wait_until(
            [&] { return printer_->bytes(kind, Direction::ToPrinter).size() >= n; }, kDeadline);
    }
    bool back_up(int restarts) {
        return printer_->wait_until(
            [&] { return printer_->restarts() >= restarts && !printer_->away(); }, kDeadline);
    }
    bool has_event(const std::string& text) {
        return printer_->wait_until(
            [&] {
                for (const auto& e : printer_->events())
                    if (e.find(text) != std::string::npos) return true;
                return false;
            },
            kDeadline);
    }

    std::uint8_t enter_dll(RawPort& p) {
        p.write_all(kEnterDll);
        const Bytes a = p.read_n(6);
        EXPECT_EQ(a.size(), 6u);
        if (a.size() != 6) return 0;
        EXPECT_EQ(Bytes(a.begin(), a.begin() + 5), frame({0x1C}));
        EXPECT_NE(a[5], 0);
        return a[5];
    }

    Bytes name_reply() {
        const std::string n = printer_->product_name();
        Bytes r = frame({0x01}) + bytes_of(n);
        if (n.size() < 17) r.push_back(0);
        return r;
    }
    Bytes version_reply(const std::string& v) { return frame({0x02}) + bytes_of(v); }

    kp28::FakeSysroot root_;
    std::unique_ptr<kp28sim::VirtualPrinter> printer_;
};

// A setup file as the setup tool writes it: the load-setup frame.
inline Bytes load_setup_frame(const Bytes& image, bool plus) {
    const auto crc = kp28::nvm_crc(image, image.size(), plus);
    const std::size_t l = image.size() + 5;
    Bytes f = frame({static_cast<std::uint8_t>(l & 0xFF), static_cast<std::uint8_t>(l >> 8), 0x0D});
    f.insert(f.end(), image.begin(), image.end());
    f.insert(f.end(), crc.begin(), crc.end());
    return f;
}

}  // namespace simtest
