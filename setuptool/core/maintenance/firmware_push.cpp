// The firmware's ways to a printer besides the updater's own: a parallel
// port node, the USB CDC port and FTP; and the updater run with its files.
#include <filesystem>

#include "kp28setup/files.h"
#include "kp28setup/maintenance.h"
#include "kp28setup/senders.h"

namespace kp28setup {

namespace {
constexpr const char* kCdcSpeed = "115200,n,8,1";
}  // namespace

ChildExit run_updater(RunDirectory& dir, const std::optional<std::string>& program,
                      const std::vector<std::string>& args, const std::function<void()>& idle,
                      const std::function<bool()>& stop) {
    std::string why;
    const std::string ini = dir.file(kIniFileName);
    ChildExit ran;
    if (!program) {
        ran.reason =
            "Kp28FWUpdate was found neither beside this program nor on PATH (KP28FWUPDATE names "
            "it)";
    } else if (!write_text_file(ini, updater_ini_text(), &why)) {
        ran.reason = ini + ": " + why;
    } else {
        std::vector<std::string> argv{*program};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back("-log");
        argv.push_back(dir.file(kReportFileName));
        ran = run_and_wait(argv, dir.path(), idle, std::chrono::milliseconds(100), stop);
    }
    std::error_code ec;
    std::filesystem::remove(ini, ec);
    return ran;
}

std::string copy_firmware_to_parallel(RunDirectory& dir, const std::string& firmware,
                                      const std::string& entry,
                                      const std::optional<std::string>& node,
                                      std::chrono::milliseconds limit) {
    std::string why;
    const std::string bat = dir.file(kBatchFileName);
    if (!write_text_file(bat, "copy " + firmware + " " + entry + ":/b\r\n", &why))
        return bat + ": " + why;
    const auto file = read_whole_file(firmware, &why, kMaxFirmwareFile);
    if (!file) return "The firmware image could not be read: " + firmware + ": " + why;
    if (!node) return "There is no parallel port " + entry;
    const SendResult r = write_to_node(*node, *file, limit);
    if (!r.ok)
        return "The firmware image could not be copied to " + entry + " (" + *node +
               "): " + r.reason;
    return {};
}

std::string push_firmware_cdc(Dialogue& line, const std::optional<std::vector<std::uint8_t>>& file,
                              const std::string& read_problem, const std::string& entry) {
    std::string failure;
    try {
        line.drain_and_close();
        line.port().set_settings(kCdcSpeed);
        line.port().open();
        if (!file) {
            failure = read_problem;
        } else {
            for (const auto piece : pieces(*file)) line.write_bytes({piece.begin(), piece.end()});
            // Closing a port drops what it has not sent yet.
            if (!line.port().drain(line.limits().link_write))
                failure = "The firmware image did not leave " + entry + " within " +
                          std::to_string(line.limits().link_write.count()) + " ms";
        }
    } catch (const CommError& e) {
        failure = "The firmware image could not be sent to " + entry + ": " + e.what();
    }
    line.port().close();
    return failure;
}

std::string upload_firmware_lan(RunDirectory& dir, const std::string& firmware,
                                const std::string& address) {
    std::string why;
    const std::string script = dir.file(kFtpScriptName);
    const std::string bat = dir.file(kBatchFileName);
    if (!write_text_file(script, ftp_script_text(firmware), &why) ||
        !write_text_file(bat, "ftp -s:" + std::string(kFtpScriptName) + " " + address + "\r\n",
                         &why))
        return dir.path() + ": " + why;
    const auto to = parse_host_port(address, kFtpPort);
    if (!to) return "Not an address: " + address;
    FtpUpload u{to->host, to->port, kFtpUser, kFtpPassword, kFtpFolder, firmware};
    if (!ftp_upload(u, &why))
        return "The firmware image could not be sent to " + address + ": " + why;
    return {};
}

}  // namespace kp28setup
