// The window against a virtual printer on a fake tree, with the operator's
// modal answers scripted. Every wait is bounded; the printer stops before its
// tree is taken down.
#pragma once

#include <kp28/fake_sysroot.h>
#include <kp28setup/scripted_operator.h>
#include <kp28setup/serial_port_posix.h>
#include <kp28sim/virtual_printer.h>

#include <QPushButton>
#include <QTest>
#include <memory>

#include "main_window.h"

namespace guitest {

using kp28setup::Command;

inline constexpr int kOperationMs = 30000;

struct GuiRig {
    std::unique_ptr<kp28::FakeSysroot> root;  // before the printer: outlives it
    std::unique_ptr<kp28sim::VirtualPrinter> printer;
    std::unique_ptr<kp28setup::PosixSerialPort> port;
    kp28setup::ScriptedOperator script;
    std::unique_ptr<kp28gui::MainWindow> window;

    static kp28sim::PrinterConfig setup_mode_plus() {
        kp28sim::PrinterConfig c;
        c.start_in_setup_mode = true;
        c.usb_lp.reset();
        return c;
    }

    void start(kp28sim::PrinterConfig c, kp28setup::Operator* dialogs = nullptr) {
        root = std::make_unique<kp28::FakeSysroot>();
        printer = std::make_unique<kp28sim::VirtualPrinter>(*root, c);
        printer->start();
        const std::string r = root->root();
        port = std::make_unique<kp28setup::PosixSerialPort>(
            [r](int com) { return kp28setup::node_for_com(r, com); });
        window = std::make_unique<kp28gui::MainWindow>(kp28gui::WindowDeps{
            *port, [r] { return kp28setup::scan_ports(r); },
            kp28setup::TimeLimits::from_environment(), dialogs ? dialogs : &script});
        window->show();
        idle();
    }

    ~GuiRig() {
        window.reset();
        port.reset();
        printer.reset();
        root.reset();
    }

    // The running operation has ended and the window shows its outcome.
    bool idle(int ms = kOperationMs) {
        return QTest::qWaitFor([this] { return !window->busy(); }, ms);
    }

    QPushButton* button(Command c) const { return window->button(c); }

    bool click(Command c) {
        QTest::mouseClick(button(c), Qt::LeftButton);
        return idle();
    }

    // Every button shows the session's command state.
    bool buttons_mirror_session() const {
        for (std::size_t i = 0; i < kp28setup::kCommandCount; ++i) {
            const auto c = static_cast<Command>(i);
            if (button(c)->isEnabled() != window->view().commands.enabled(c)) return false;
        }
        return true;
    }

    std::vector<std::uint8_t> to_printer() const {
        return printer->bytes(kp28sim::LinkKind::Serial, kp28sim::Direction::ToPrinter);
    }
};

}  // namespace guitest
