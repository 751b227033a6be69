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
#include "kp28setup/dialogue.h"
#include "kp28setup/editor.h"
#include "kp28setup/interface_list.h"
#include "kp28setup/maintenance.h"
#include "kp28setup/operator.h"
#include "kp28setup/senders.h"
#include "kp28setup/serial_port.h"
#include "kp28setup/stop_source.h"
#include "kp28setup/time_limits.h"

namespace kp28setup {

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

// How a command ended: done, or not and why (the reason as the operator was
// told it, or what stopped the command before it began).
struct Outcome {
    bool done = false;
    std::string reason;
    // Load FW, Reboot and USB ID: the updater's exit code when it ran (-1
    // when a signal ended it).
    std::optional<int> updater_exit;
};

struct SessionDeps {
    SerialPort& port;
    Operator& op;
    // The hardware scan behind the interface list.
    std::function<std::vector<PortInfo>()> scan_ports;
    // A fixed pause of the dialogue; tests record instead of waiting.
    std::function<void(std::chrono::milliseconds)> pause;
    SessionObserver* observer = nullptr;
    // The parameter editor: cleared at start, built after a good read, and
    // working on the session's image. Null: no editor.
    Editor* editor = nullptr;
    TimeLimits limits = TimeLimits::from_environment();
    // A stop request from outside (a signal, the closing window): the session
    // marks its transfers on it and a running updater is ended by it. Null:
    // nothing outside asks.
    StopSource* stop = nullptr;
    // Where the description a read fetches is kept.
    std::string modules_path = "modules.txt";
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
    NvmImage nvm_image{};
    std::int16_t nvm_length = 0;
    std::array<std::uint8_t, 4> crc_trailer{};
    std::array<std::uint8_t, 4> crc_computed{};
    std::string failed_operation;
    std::string last_comm_error;
    std::string Interface;
    std::string chosen_file;
    std::string ip_string;

    // The command behind a button, as the button's click runs it, and how it
    // ended. Enablement is the caller's business: the window offers only
    // enabled buttons; kp28setup runs a command to its end in one run.
    Outcome run(Command c);

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

    void show_comm_error();
    // The exchanges with the printer over the serial port.
    Dialogue& dialogue() { return line_; }
    void MSComm1_OnComm(int comm_event);

    // Writes the setup file of the image in hand to path; a failure is shown
    // to the operator with the path and the system's reason. after_write:
    // the printer already holds the image, which the message says.
    bool write_setup_file(const std::string& path, bool after_write);
    // Lets queued output leave and closes the port, as the program ends.
    void close_link() { line_.drain_and_close(); }

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
    bool stopping() const { return line_.stopping(); }
    // Whether the printer has taken the image of the last Write NVM (its
    // echo matched), whatever came after.
    bool printer_took_image() const { return write_confirmed_; }
    const TimeLimits& limits() const { return d_.limits; }

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
    bool save_setup_file();
    void end_program();
    // The description from the printer, kept as modules.txt, and the editor
    // built from it; false when it did not come whole.
    bool build_editor();
    void process_events();
    // The command under way has failed (the first reason given stands).
    void fail(const std::string& why);
    // The command under way has done its job.
    void succeed() { outcome_.done = true; }

    SessionDeps d_;
    Dialogue line_;
    Outcome outcome_;
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

    // Send  Setup and maintenance.
    void set_wait_window(bool shown);
    void show_report(const std::string& caption);
    void empty_report_file();
    void run_updater(const std::vector<std::string>& args, const std::string& caption);
    LinkState& links();
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
    // A failure text of a firmware link, shown under `title`; true when empty.
    bool maintenance_result(const std::string& title, const std::string& failure);
    void maintenance_failed(const std::string& title, const std::string& what);
    // The updater's run, as Load FW, Reboot and USB ID end with it.
    void note_updater_exit();
    std::unique_ptr<LinkState, LinkStateDeleter> links_;
    ReportWindow report_;
    bool wait_shown_ = false;
    std::vector<std::string> printed_;
    bool send_complete_ = false;
    bool maintenance_done_ = false;
    std::optional<int> updater_exit_;
    std::string updater_;
};

}  // namespace kp28setup
