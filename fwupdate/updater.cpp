#include "updater.h"

#include <kp28/access_hint.h>
#include <kp28/ports/access.h>
#include <kp28/ports/ports.h>
#include <kp28/sysroot.h>

#include <optional>
#include <string>

#include "announcer.h"
#include "interruption.h"
#include "platform/platform.h"
#include "printer_channel.h"
#include "printer_commands.h"
#include "result.h"
#include "retrieval_layer.h"

namespace fwupdate {

namespace {

void print_usage() {
    Announcer::console(kUsageLine);
}

// The result text of the layer's failure code, or, when the layer recorded
// none, the operation's own failure text.
std::string closing_text(const RetrievalLayer& layer, const char* operation_failure) {
    const ResultCode code = layer.recorded().code;
    return code == ResultCode::ok ? std::string(operation_failure) : std::string(result_text(code));
}

// The library reports a node it could not open only as "error opening
// device"; asking the system about the same nodes tells whether the reason
// was this user's rights, which is what the technician can fix.
void announce_permission_hint(const Announcer& announcer) {
    for (const auto& p : kp28::ports::scan_usb_printers(kp28::sysroot())) {
        const int err = kp28::ports::access_error(p.node);
        const std::string hint = kp28::permission_hint(err);
        if (!hint.empty()) {
            announcer.announce(p.node + ": " + platform::os_error_text(err) + ". " + hint);
            return;
        }
    }
}

}  // namespace

CommandLineResult load_settings(const std::string& dir, const std::vector<std::string>& args,
                                UpdaterSettings& settings) {
    settings = UpdaterSettings{};
    if (!dir.empty()) {
        const std::string path = find_ini_file(dir);
        apply_ini(path.empty() ? IniFile{} : IniFile::load(path), settings);
    }
    if (args.empty()) return CommandLineResult::run;
    return apply_command_line(args, settings);
}

int run_updater(const std::vector<std::string>& args) {
    UpdaterSettings settings;
    const std::string dir = platform::current_directory().value_or(std::string());
    if (load_settings(dir, args, settings) == CommandLineResult::help) {
        print_usage();
        return 0;
    }

    settings.protocol = to_upper(settings.protocol);
    const std::optional<RetrievalProtocol> protocol = protocol_from_name(settings.protocol);
    if (!protocol) {
        print_usage();
        return 1;
    }
    const RetrievalRecord record = make_retrieval_record(*protocol, settings.url, settings.port,
                                                         settings.user, settings.password);

    if (settings.url.empty() && settings.usb_id.empty() && !settings.reboot) {
        print_usage();
        return 1;
    }

    const Announcer announcer(settings.log_file, settings.verbose);
    PrinterChannel channel(ChannelTimings::from_environment());
    // The closing line of a run that a signal ended: the result text of the
    // job it stopped.
    const char* job_failure = settings.reboot         ? kRebootFailureText
                              : !settings.url.empty() ? kUpdateFailureText
                                                      : kUsbIdFailureText;
    std::unique_ptr<RetrievalLayer> layer;
    auto end_interrupted = [&] {
        announcer.announce(interruption_text());
        Announcer::console(layer ? closing_text(*layer, job_failure) : std::string(job_failure));
        return 1;
    };
    // A failed fetch says why (the server's status, libcurl's or the
    // system's text) before the result text, so that a missing file and a
    // full disk can be told apart.
    auto announce_reason = [&] {
        const Result& reason = layer->recorded();
        if (!reason.ok() && !reason.text.empty()) announcer.announce(reason.text);
    };

    announcer.announce("Connecting to printer");
    if (const Result connected = channel.connect(settings.printer_name); !connected.ok()) {
        if (interrupted()) return end_interrupted();
        announcer.announce(connected.text);
        announce_permission_hint(announcer);
        return 1;
    }
    if (interrupted()) return end_interrupted();

    PrinterCommands commands(channel, announcer, settings.printer_name, settings.buffer_size);
    layer = make_retrieval_layer(*protocol, commands);
    if (const Result opened = layer->initialise(); !opened.ok()) {
        const std::string_view text = result_text(layer->recorded().code);
        announcer.log(text);
        Announcer::console(text);
        return 1;
    }
    if (!settings.url.empty()) {
        if (const Result connected = layer->connect(record); !connected.ok()) {
            if (interrupted()) return end_interrupted();
            announce_reason();
            Announcer::console(result_text(layer->recorded().code));
            return 1;
        }
    }
    if (interrupted()) return end_interrupted();

    if (settings.reboot) {
        const Result rebooted = layer->reboot();
        if (interrupted()) return end_interrupted();
        if (!rebooted.ok()) {
            Announcer::console(closing_text(*layer, kRebootFailureText));
            return 1;
        }
        return 0;
    }
    if (!settings.url.empty()) {
        const Result updated = layer->update(settings.url);
        if (interrupted()) return end_interrupted();
        if (!updated.ok()) {
            announce_reason();
            Announcer::console(closing_text(*layer, kUpdateFailureText));
            return 1;
        }
    }
    if (!settings.usb_id.empty()) {
        job_failure = kUsbIdFailureText;
        const Result recorded = layer->record_usb_id(settings.usb_id);
        if (interrupted()) return end_interrupted();
        if (!recorded.ok()) {
            Announcer::console(closing_text(*layer, kUsbIdFailureText));
            return 1;
        }
    }
    return 0;
}

}  // namespace fwupdate
