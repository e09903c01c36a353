// The probe, the mode switch and the tty count through the real shell:
// scripts named lsusb and usb_modeswitch, first on PATH, stand in for the
// tools. The test process has its own tmpfs /tmp.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ek_brd.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string slurp(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::vector<std::string> leftover_temp_files() {
    std::vector<std::string> out;
    for (const auto &e : fs::directory_iterator("/tmp")) {
        std::string name = e.path().filename().string();
        if (name.rfind("ek_brd_lib_usb_modem_", 0) == 0) out.push_back(name);
    }
    return out;
}

class UsbProbeShell : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/usb_tools.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        bin_ = tmpl;
        const char *path = getenv("PATH");
        saved_path_ = path != nullptr ? path : "/usr/bin:/bin";
        // The stderr line names a device: with the redirections in the
        // order the probe writes them it never reaches the file.
        script("lsusb",
               "echo 'Bus 009 Device 009: ID dead:beef on stderr' >&2\n"
               "cat " +
                   (bin_ / "listing").string() + "\n");
        script("usb_modeswitch", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
                                     (bin_ / "argv").string() + "\nexit $(cat " +
                                     (bin_ / "status").string() + " 2>/dev/null || echo 0)\n");
        listing(
            "Bus 001 Device 001: ID 1d6b:0002 Linux Foundation 2.0 root hub\n"
            "Bus 001 Device 002: ID 12d1:1446 Some modem in storage mode\n");
        setenv("PATH", (bin_.string() + ":" + saved_path_).c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", saved_path_.c_str(), 1);
        fs::remove_all(bin_);
    }

    void script(const std::string &name, const std::string &body) {
        std::ofstream(bin_ / name) << "#!/bin/sh\n" << body;
        fs::permissions(bin_ / name, fs::perms::owner_all);
    }
    void listing(const std::string &text) { std::ofstream(bin_ / "listing") << text; }

    fs::path bin_;
    std::string saved_path_;
};

TEST_F(UsbProbeShell, ProbeReadsTheListingThroughTheShell) {
    uint16_t vid = 0, pid = 0;
    EXPECT_EQ(ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid), 1);
    EXPECT_EQ(vid, 0x12d1);
    EXPECT_EQ(pid, 0x1446);
    EXPECT_THAT(leftover_temp_files(), IsEmpty());
}

TEST_F(UsbProbeShell, MissingLsusbIsNoDevice) {
    fs::remove(bin_ / "lsusb");
    setenv("PATH", bin_.c_str(), 1);  // nothing else named lsusb either
    uint16_t vid = 7, pid = 7;
    EXPECT_EQ(ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid), 0);
    EXPECT_EQ(vid, 7);
    EXPECT_THAT(leftover_temp_files(), IsEmpty());
}

TEST_F(UsbProbeShell, ModeSwitchHandsTheToolItsArguments) {
    const std::string message = "55534243123456780000000000000011 0620000000; it's |&";
    EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x19d2, 0x2000, message.c_str()), 0);
    EXPECT_THAT(lines(slurp(bin_ / "argv")),
                ElementsAre("-Q", "-v", "0x19d2", "-p", "0x2000", "-M", message));

    std::ofstream(bin_ / "status") << "3\n";
    EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x19d2, 0x2000, "55"), -1);
    EXPECT_THAT(leftover_temp_files(), IsEmpty());
}

TEST_F(UsbProbeShell, ModeSwitchWithoutDeviceRunsNoTool) {
    listing("Bus 001 Device 001: ID 1d6b:0002 Linux Foundation 2.0 root hub\n");
    EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x19d2, 0x2000, "55"), -1);
    EXPECT_FALSE(fs::exists(bin_ / "argv"));
}

TEST_F(UsbProbeShell, RefusedMessageRunsNothing) {
    EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x19d2, 0x2000, "55\"; touch /tmp/owned; \""), -1);
    EXPECT_FALSE(fs::exists(bin_ / "argv"));
    EXPECT_FALSE(fs::exists("/tmp/owned"));
}

TEST_F(UsbProbeShell, TtyCountRunsAgainstSysfs) {
    EXPECT_GE(ek_brd_lib_usb_modem_get_ttydev_count(), 0);
    EXPECT_THAT(leftover_temp_files(), IsEmpty());
}

}  // namespace
