// The hardware look-ups against fake trees: which serial and parallel ports
// count, their COM and LPT names both ways, and the USB printers.
#include <gtest/gtest.h>
#include <kp28/fake_sysroot.h>
#include <kp28/ports/layout.h>
#include <kp28/ports/ports.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace kp28::ports;

TEST(PortNames, ComNumbersMapToNodesAndBack) {
    const struct {
        const char* node;
        int com;
    } cases[] = {
        {"ttyS0", 1},     {"ttyS31", 32},  {"ttyUSB0", 33},
        {"ttyUSB31", 64}, {"ttyACM0", 65}, {"ttyACM10", 75},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(com_number(c.node), std::optional<int>(c.com)) << c.node;
        EXPECT_EQ(node_name_for_com(c.com), std::optional<std::string>(c.node)) << c.com;
    }
    // Names outside the ranges would collide with the next kind's numbers.
    for (const char* none : {"ttyS32", "ttyUSB32", "ttyS", "ttyAMA0", "ttyS1x", "lp0", ""})
        EXPECT_FALSE(com_number(none).has_value()) << none;
    EXPECT_FALSE(node_name_for_com(0).has_value());
    EXPECT_EQ(com_name(3), "COM3");
    EXPECT_EQ(lpt_name(1), "LPT1");
    EXPECT_EQ(com_number_of_name("COM12"), std::optional<int>(12));
    EXPECT_EQ(lpt_number_of_name("LPT2"), std::optional<int>(2));
    for (const char* bad : {"COM", "COM0", "com3", "COM3:", "LPT1"})
        EXPECT_FALSE(com_number_of_name(bad).has_value()) << bad;
}

class PortScan : public ::testing::Test {
  protected:
    kp28::FakeSysroot root;
};

TEST_F(PortScan, SerialPortsCountByKindTypeAndNode) {
    root.add_serial_port("ttyS1");            // a UART: counts
    root.add_serial_port("ttyS0", false, 0);  // no hardware behind it
    root.add_serial_port("ttyACM0", true);    // a printer's own USB port
    root.add_serial_port("ttyUSB2");          // an adapter
    root.add_serial_port("ttyUSB0");
    fs::remove(root.serial_node("ttyUSB0"));                      // sysfs entry without a node
    fs::create_directories(root.path(layout::tty_dir("ttyS5")));  // no device link
    std::ofstream(root.path(layout::tty_dir("ttyS5") + "/type")) << "4\n";
    fs::create_directories(root.path(layout::tty_dir("tty1")));  // a console

    const auto ports = scan_serial_ports(root.root());
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].name, "ttyS1");
    EXPECT_EQ(ports[0].com, 2);
    EXPECT_FALSE(ports[0].cdc_acm);
    EXPECT_EQ(ports[0].node, root.serial_node("ttyS1"));
    EXPECT_EQ(ports[1].name, "ttyUSB2");
    EXPECT_EQ(ports[1].com, 35);
    EXPECT_FALSE(ports[1].cdc_acm);
    EXPECT_EQ(ports[2].name, "ttyACM0");
    EXPECT_EQ(ports[2].com, 65);
    EXPECT_TRUE(ports[2].cdc_acm);

    EXPECT_EQ(node_for_com(root.root(), 65),
              std::optional<std::string>(root.serial_node("ttyACM0")));
    EXPECT_FALSE(node_for_com(root.root(), 1).has_value()) << "ttyS0 has type 0";
    EXPECT_FALSE(node_for_com(root.root(), 33).has_value()) << "ttyUSB0 has no node";
}

TEST_F(PortScan, ParallelPortsAreLptNPlusOne) {
    root.add_parallel_port(1);
    root.add_parallel_port(0);
    root.add_parallel_port(2);
    fs::remove(root.parallel_node(2));
    const auto ports = scan_parallel_ports(root.root());
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].lpt, 1);
    EXPECT_EQ(ports[0].node, root.parallel_node(0));
    EXPECT_EQ(ports[1].lpt, 2);
    EXPECT_EQ(node_for_lpt(root.root(), 2), std::optional<std::string>(root.parallel_node(1)));
    EXPECT_FALSE(node_for_lpt(root.root(), 3).has_value());
}

TEST_F(PortScan, UsbPrintersCarryIdentityAndFallBackToTheDeviceFolder) {
    root.add_usb_printer(1, {"3509", "a15f", ""});
    root.add_usb_printer(0);
    const auto printers = scan_usb_printers(root.root());
    ASSERT_EQ(printers.size(), 2u);
    EXPECT_EQ(printers[0].path_text, "usb#vid_3509&pid_0140#KP28SIM0001#/dev/usb/lp0");
    EXPECT_EQ(printers[0].node, root.usb_node(0));
    // No serial attribute: the USB device's folder name stands in.
    EXPECT_EQ(printers[1].path_text, "usb#vid_3509&pid_a15f#1-2#/dev/usb/lp1");
}

TEST_F(PortScan, AMissingTreeGivesNoPorts) {
    const std::string nowhere = root.path("no/such/root");
    EXPECT_TRUE(scan_serial_ports(nowhere).empty());
    EXPECT_TRUE(scan_parallel_ports(nowhere).empty());
    EXPECT_TRUE(scan_usb_printers(nowhere).empty());
}

TEST(SysfsAttribute, FirstLineWithoutTrailingBlanks) {
    kp28::FakeSysroot root;
    const std::string path = root.path("attr");
    std::ofstream(path) << "3509 \t\r\nsecond line\n";
    std::string value;
    ASSERT_TRUE(read_attribute(path, value));
    EXPECT_EQ(value, "3509");
    EXPECT_FALSE(read_attribute(root.path("missing"), value));
}

}  // namespace
