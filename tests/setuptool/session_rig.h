// A session on the scripted port with a scripted operator, pauses recorded
// instead of waited, and an observer that counts what it was told.
#pragma once

#include <gtest/gtest.h>
#include <kp28setup/fake_serial_port.h>
#include <kp28setup/scripted_operator.h>
#include <kp28setup/session.h>
#include <kp28setup/stoppable_port.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scripted_printer.h"

namespace setuptest {

using kp28setup::Command;
using kp28setup::Icon;

struct CountingObserver : kp28setup::SessionObserver {
    std::map<kp28setup::Change, int> changes;
    int event_points = 0;
    void changed(kp28setup::Change c) override { ++changes[c]; }
    void process_events() override { ++event_points; }
};

struct SessionRig {
    kp28setup::FakeSerialPort port;
    kp28setup::ScriptedOperator op;
    CountingObserver observer;
    ScriptedPrinter printer;
    std::vector<kp28setup::PortInfo> ports = {
        {kp28setup::PortInfo::Kind::Serial, "COM1", "/dev/ttyS0", false}};
    std::vector<std::chrono::milliseconds> pauses;
    std::unique_ptr<kp28setup::Session> session;
    kp28setup::Editor* editor = nullptr;
    std::string modules_path = "modules.txt";
    // A stop from outside, as the closing window asks it.
    kp28setup::StopSource stop;
    kp28setup::StoppablePort stoppable{port, stop};

    kp28setup::Session& start(bool with_stop = false) {
        printer.attach(port);
        kp28setup::TimeLimits limits;
        kp28setup::SessionDeps deps{with_stop ? static_cast<kp28setup::SerialPort&>(stoppable)
                                              : static_cast<kp28setup::SerialPort&>(port),
                                    op,
                                    [this] { return ports; },
                                    [this](std::chrono::milliseconds ms) { pauses.push_back(ms); },
                                    &observer,
                                    editor,
                                    limits};
        if (with_stop) deps.stop = &stop;
        deps.modules_path = modules_path;
        session = std::make_unique<kp28setup::Session>(std::move(deps));
        session->Form_Load();
        return *session;
    }

    std::vector<std::string> message_texts() const {
        std::vector<std::string> out;
        for (const auto& m : op.messages()) out.push_back(m.text);
        return out;
    }
    // The letters and frames sent, one string per write, with the speed.
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const auto& w : port.writes()) {
            std::string s = w.settings.substr(0, w.settings.find(',')) + ":";
            if (w.bytes.size() == 1 && w.bytes[0] >= 'A' && w.bytes[0] <= 'z')
                s += static_cast<char>(w.bytes[0]);
            else
                s += "<" + std::to_string(w.bytes.size()) + ">";
            out.push_back(s);
        }
        return out;
    }
};

}  // namespace setuptest
