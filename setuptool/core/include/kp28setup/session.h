// The session of the main window: everything the window shows and everything
// the operations decide. One thread owns a Session; its operations block on
// the serial port and on the Operator, and every change of what the window
// shows is announced to the observer as it happens.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kp28setup/commands.h"
#include "kp28setup/interface_list.h"
#include "kp28setup/maintenance.h"
#include "kp28setup/operator.h"
#include "kp28setup/senders.h"
#include "kp28setup/serial_port.h"
#include "kp28setup/stop_source.h"
#include "kp28setup/time_limits.h"

namespace kp28setup {

inline constexpr std::size_t kNvmSize = 2048;

enum class Change {
    Commands,
    ModelDisplay,
    Text1,
    Status,
    Pointer,
    WindowEnabled,
    Interfaces,
    ProgramEnded,
    ReportWindow,  // report_window() was filled and shown, or unloaded by OK
    WaitWindow,    // wait_window_shown() changed (frmAttesa)
    Printed,       // a text was printed on the window's surface (printed())
};

// Mouse pointers: the hourglass while an operation talks to the printer.
enum class Pointer { Default = 0, Hourglass = 11 };
enum class PointerTarget { Window, Screen, ReadNvm, WriteNvm, RestoreMfg };

class SessionObserver {
  public:
    virtual ~SessionObserver() = default;
    virtual void changed(Change what) = 0;
    // The points where the window processes its pending events.
    virtual void process_events() {}
    // True once the window is closing: a child the session waits for is
    // asked to end rather than waited out.
    virtual bool stop_requested() { return false; }
};

// The parameter editor, which later plugs in here: cleared at start, built
// after a good read.
class EditorHooks {
  public:
    virtual ~EditorHooks() = default;
    virtual void clear_editor() = 0;
    virtual void build_editor() = 0;
};

struct SessionDeps {
    SerialPort& port;
    Operator& op;
    // The hardware scan behind the interface list.
    std::function<std::vector<PortInfo>()> scan_ports;
    // A fixed pause of the dialogue; tests record instead of waiting.
    std::function<void(std::chrono::milliseconds)> pause;
    SessionObserver* observer = nullptr;
    EditorHooks* editor = nullptr;
    TimeLimits limits = TimeLimits::from_environment();
    // A stop request from outside (a signal, the closing window): the session
    // marks its transfers on it and a running updater is ended by it. Null:
    // nothing outside asks.
    StopSource* stop = nullptr;
};

struct LinkState;
struct LinkStateDeleter {
    void operator()(LinkState* s) const;
};

class Session {
  public:
    explicit Session(SessionDeps deps);
    ~Session();

    // --- what the window shows ---
    const CommandStates& commands() const { return commands_; }
    bool plus_displayed() const { return plus_displayed_; }  // Picture5 and the KP28Plus check
    bool kp28_checked() const { return kp28_checked_; }
    bool kp28plus_checked() const { return kp28plus_checked_; }
    const std::string& text1() const { return text1_; }
    std::string status_label() const { return "Status : " + status_; }
    Pointer pointer(PointerTarget t) const { return pointers_.at(t); }
    bool window_enabled() const { return window_enabled_; }
    bool program_ended() const { return ended_; }
    const InterfaceList& interfaces() const { return list_; }

    // --- session state ---
    std::uint8_t plus_model = 0;
    std::array<std::uint8_t, kNvmSize> nvm_image{};
    std::int16_t nvm_length = 0;
    std::array<std::uint8_t, 4> crc_trailer{};
    std::array<std::uint8_t, 4> crc_computed{};
    std::string failed_operation;
    std::string last_comm_error;
    std::string Interface;
    std::string chosen_file;
    std::string ip_string;

    // --- handlers and operations ---
    void Form_Load();
    void prepare_link();
    void Command1_Click();             // refresh the interface list
    void select_interface(int index);  // the operator picks an entry: port_Click
    void port_Click();
    void mnu_SetProgramforKP28Plus_Click();
    void mnuSetProgramforKP28_Click();
    void Command2_Click();  // exit from setup
    void img_Esci_Click();
    void cmd_readNVM_Click();
    void cmd_readNVM_Function();
    void cmd_Save_Click();
    void cmd_restMFG_Click();

    void open_com_port();
    void read_nvm();
    void detect_printer_model();
    bool identify_printer();
    void write_nvm();

    // Serial primitives.
    void send_com(const std::string& str_to_print);
    std::uint8_t read_com_byte();
    std::uint8_t read_com_byte(std::chrono::milliseconds limit);
    std::string read_com_line();
    // A line of at most max_length bytes that must be complete by `deadline`:
    // a printer that keeps talking ends as a CommError either way.
    std::string read_com_line(std::size_t max_length,
                              std::chrono::steady_clock::time_point deadline);
    std::string read_com_all();
    void show_comm_error();
    // Reads and drops whatever the line holds, so that leftovers of an earlier
    // exchange are not taken for this one's reply.
    void discard_input();
    // After a cut exchange: drops input until the line has been quiet for
    // `quiet`, for at most `limit`.
    void wait_for_quiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit);
    void MSComm1_OnComm(int comm_event);

    // Writes the setup file of the image in hand to path; a failure is shown
    // to the operator with the path and the system's reason. after_write:
    // the printer already holds the image, which the message says.
    bool write_setup_file(const std::string& path, bool after_write);
    // Lets queued output leave and closes the port, as the program ends.
    void close_link() { drain_and_close(); }

    // --- Send  Setup and the maintenance front-ends ---
    // Each runs to its end on the calling thread; the report window and the
    // wait window are announced through the Operator (report(), which must
    // not block, and wait_window()) and mirrored as state with ReportWindow
    // and WaitWindow changes. run_and_wait calls the observer's
    // process_events() every 100 ms while the updater runs.
    void cmd_Send_Setup_Click();
    void cmdLoadFW_Click();
    void cmdReboot_Click();
    void cmdUSB_ID_Click();
    // The report window's OK: empties the report file and unloads the window.
    void OKButton_Click();
    const ReportWindow& report_window() const { return report_; }
    bool wait_window_shown() const { return wait_shown_; }
    // What has been printed on the window's surface, one item per print
    // (announced as Printed).
    const std::vector<std::string>& printed() const { return printed_; }

    // The USB library of "Send  Setup" (default: libkp28wrap.so.1 bound with
    // dlopen on first use) and the updater (default: find_updater()).
    void use_usb_library(std::shared_ptr<UsbLibrary> usb);
    void use_updater(std::string path) { updater_ = std::move(path); }

    // The checked setup file to the first USB printer and to ip_string.
    void send_file_usb(std::span<const std::uint8_t> file);
    void send_file_lan(std::span<const std::uint8_t> file);
    int connect_lan();
    void show_usb_error(int result);

    // Whether a stop was asked (a signal, the closing window).
    bool stop_requested() const { return d_.stop && d_.stop->requested(); }
    // Whether a stop takes effect now: asked, and no transfer under way. A
    // transfer asked to stop before its first byte does not begin.
    bool stopping() const { return d_.stop && d_.stop->stop_now(); }

    // Outcome of the last "Send  Setup": the whole file was handed to the link.
    bool last_send_complete() const { return send_complete_; }
    // Outcome of the last maintenance command: the firmware reached its link
    // (copy, push, upload) or the updater ran; the updater's exit code when it
    // ran (-1 when a signal ended it).
    bool last_maintenance_done() const { return maintenance_done_; }
    std::optional<int> last_updater_exit() const { return updater_exit_; }

    // For the parameter editor: its reports in the status label and in a
    // message box.
    void show_status(const std::string& text) { set_status(text); }
    void show_message(const std::string& title, const std::string& text, Icon icon) {
        message(title, text, icon);
    }
    const TimeLimits& limits() const { return d_.limits; }

    // Outcome of the last write: the echo matched (the printer took the image).
    bool last_write_confirmed() const { return write_confirmed_; }
    // Outcome of the last restore: "R" went out.
    bool last_restore_sent() const { return restore_sent_; }

  private:
    // The network address box of Send  Setup and Load FW: its answer becomes
    // ip_string (empty when cancelled).
    void ask_ip_address();
    bool ask_for_setup_mode();
    void notify(Change c);
    void apply(const Enablement& e);
    void set_command(Command c, bool on);
    void set_pointer(PointerTarget t, Pointer p);
    // Text1 takes printer bytes; like a text box it ends at a NUL byte.
    void set_text1(const std::string& bytes);
    void set_status(const std::string& s);
    void show_model(bool plus);
    void check_menu(bool plus);
    void message(const std::string& title, const std::string& text, Icon icon);
    void note_failure(const CommError& e);
    void drain_and_close();
    void reconfigure(const char* settings);
    void write_bytes(const std::vector<std::uint8_t>& bytes);
    void write_text(const std::string& s);
    void receive_nvm();
    void save_setup_file();
    void end_program();

    // After the driver's queue is empty, a USB-serial adapter (and the other
    // end of a pseudo-terminal) may still hold the last bytes: they leave
    // within this pause, before a speed change could garble them.
    static constexpr std::chrono::milliseconds kSettle{200};

    SessionDeps d_;
    CommandStates commands_;
    bool plus_displayed_ = true;
    bool kp28_checked_ = false;
    bool kp28plus_checked_ = true;
    std::string text1_;        // as shown (UTF-8)
    std::string text1_bytes_;  // as received
    std::string status_;
    std::map<PointerTarget, Pointer> pointers_;
    bool window_enabled_ = true;
    bool ended_ = false;
    InterfaceList list_;
    bool write_confirmed_ = false;
    bool restore_sent_ = false;
    // Bytes written since the port was opened or last settled: they must
    // leave before the line's settings change.
    bool unsettled_output_ = false;

    // Send  Setup and maintenance (links/, maintenance/).
    void set_wait_window(bool shown);
    void show_report(const std::string& caption);
    void empty_report_file();
    void run_updater(const std::vector<std::string>& args, const std::string& caption);
    LinkState& links();
    void process_events();
    void send_failed(const std::string& what);
    std::optional<std::string> parallel_node(char digit);
    void send_file_lpt(std::span<const std::uint8_t> file, char digit);
    void send_file_com(std::span<const std::uint8_t> file);
    // The setup file chosen for Send  Setup, read and checked before any link
    // is opened; nullopt (the refusal shown) when it is no setup file.
    std::optional<std::vector<std::uint8_t>> setup_file(const std::string& path);
    void set_window_enabled(bool on);
    bool load_fw_lpt(const std::string& firmware);
    bool load_fw_cdc(const std::string& firmware);
    bool load_fw_lan(const std::string& firmware);
    void maintenance_failed(const std::string& title, const std::string& what);
    std::unique_ptr<LinkState, LinkStateDeleter> links_;
    ReportWindow report_;
    bool wait_shown_ = false;
    std::vector<std::string> printed_;
    bool send_complete_ = false;
    bool maintenance_done_ = false;
    std::optional<int> updater_exit_;
    std::string updater_;
};

// Bytes from the printer as single-byte text, for the window: Windows-1252,
// Latin-1 where a byte has no Windows-1252 meaning.
std::string cp1252_to_utf8(const std::string& bytes);

}  // namespace kp28setup
