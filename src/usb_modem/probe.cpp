// The USB side of the router, seen through shell commands: whether a device
// is attached (lsusb), switching its mode (usb_modeswitch) and counting the
// modem serial devices (/sys/class/tty).
//
// The two readers share one pattern: a fresh file from mkstemp, a shell
// command that redirects its standard output into it by name, a read back,
// then fclose and unlink. The file is removed only when it was opened for
// reading; when an earlier step fails it stays in /tmp.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "common/raii.h"
#include "ek_brd.h"
#include "platform/ek_platform.h"
#include "usb_modem/lsusb_line.h"

namespace {

constexpr size_t kBufSize = 512;  // the command line, then getline's buffer
constexpr size_t kModeSwitchCmdSize = 321;

constexpr char kProbeName[] = "ek_brd_lib_usb_modem_get_attached_dev";
constexpr char kCountName[] = "ek_brd_lib_usb_modem_get_ttydev_count";
constexpr char kProbeTemplate[] = "/tmp/ek_brd_lib_usb_modem_get_attached_dev.XXXXXX";
constexpr char kCountTemplate[] = "/tmp/ek_brd_lib_usb_modem_get_ttydev_count.XXXXXX";
constexpr size_t kTemplateSize = sizeof kProbeTemplate;  // 49 characters and the terminator
static_assert(sizeof kCountTemplate == kTemplateSize);

struct CommandJob {
    const char *name;  // the calling function, first "%s" of every message
    const char *tmpl;  // mkstemp template, kTemplateSize bytes
    int (*format)(char *buf, size_t size, const char *path);
};

int format_lsusb(char *buf, size_t size, const char *path) {
    // Order matters: stderr goes to the caller's stdout, only lsusb's own
    // stdout lands in the file.
    return snprintf(buf, size, "lsusb 2>&1 > %s", path);
}

int format_tty_count(char *buf, size_t size, const char *path) {
    return snprintf(buf, size, "ls /sys/class/tty | grep -E \"ttyACM|ttyUSB\" | wc -l > %s", path);
}

constexpr CommandJob kProbeJob{kProbeName, kProbeTemplate, format_lsusb};
constexpr CommandJob kCountJob{kCountName, kCountTemplate, format_tty_count};

// Makes the file, runs the command into it and opens it for reading; buf
// holds the command line. Null on any failure, logged; the file stays.
FILE *run_into_temp_file(const CommandJob &job, char *path, char *buf) {
    int fd = mkstemp(path);
    if (fd < 0) {
        EK_ERR("%s: Failed to create temp file [%s]", job.name, path);
        return nullptr;
    }
    ek_close(fd);

    int n = job.format(buf, kBufSize, path);
    if (n < 0 || n > static_cast<int>(kBufSize) - 1) {
        EK_ERR("%s: Failed to create cmd", job.name);
        return nullptr;
    }
    // Any status but -1 goes on: a failing command simply leaves the file
    // empty or short, and the reader answers from what is there.
    if (ek_system(buf) == -1) {
        EK_ERR("%s: Failed to run cmd [%s]", job.name, buf);
        return nullptr;
    }
    FILE *f = fopen(path, "r");
    if (f == nullptr) EK_ERR("%s: Unable to open temp file [%s]", job.name, path);
    return f;
}

// Runs job's command and hands read(FILE *, char **line, size_t *cap) the
// open output with getline's buffer. Every failure is logged and skips the
// reading, so the caller's result stays at its default.
template <typename Reader>
void read_command_output(const CommandJob &job, Reader &&read) {
    char path[kTemplateSize];
    memcpy(path, job.tmpl, sizeof path);
    auto buf = ek::MallocPtr<char>::alloc(kBufSize);
    if (!buf) {
        EK_ERR("malloc failed");
        return;
    }
    ek::File file(run_into_temp_file(job, path, buf.get()));
    if (file) {
        size_t cap = kBufSize;
        read(file.get(), buf.out(), &cap);
        file.close();
        int rc = unlink(path);
        if (rc != 0) EK_ERR("%s: Unable to remove temp file [%s]: rc=%d", job.name, path, rc);
    }
    // buf now frees getline's final buffer.
}

uint16_t low16(const char *word, int base) {
    return static_cast<uint16_t>(strtol(word, nullptr, base));
}

bool is_known_hub(uint16_t vendor, uint16_t product) {
    return (vendor == 0x1d6b && product == 0x0002) || (vendor == 0x05e3 && product == 0x0608);
}

// 1 when lsusb lists anything but the root hub of bus 1, even if every such
// device is a known hub; vid/pid are written only for the first device that
// is not a known hub.
int probe_attached_dev(uint16_t *vid, uint16_t *pid) {
    int result = 0;
    read_command_output(kProbeJob, [&](FILE *f, char **line, size_t *cap) {
        while (getline(line, cap, f) != -1) {
            ek::usb::LsusbLine l = ek::usb::parse_lsusb_line(*line);
            if (!l.usable()) continue;
            // The device word's trailing colon ends the conversion.
            if (low16(l.bus, 10) == 1 && low16(l.device, 10) == 1) continue;
            result = 1;
            uint16_t product = low16(l.product, 16);
            uint16_t vendor = low16(l.vendor, 16);
            if (is_known_hub(vendor, product)) continue;
            *vid = vendor;
            *pid = product;
            return;
        }
    });
    return result;
}

// The message lands between double quotes on a shell line: anything the
// shell still interprets there, or that could end the line, is refused.
bool is_shell_safe(const char *message) {
    for (const char *p = message; *p != '\0'; p++) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\' || c == '$' || c == '`') return false;
    }
    return true;
}

}  // namespace

extern "C" {

int ek_brd_lib_usb_modem_get_attached_dev(uint16_t *vid, uint16_t *pid) {
    return probe_attached_dev(vid, pid);
}

int ek_brd_lib_usb_modem_modeswitch(uint16_t vid, uint16_t pid, const char *message) {
    if (!is_shell_safe(message)) {
        EK_ERR("usb_modem: refusing unsafe mode switch message");
        return -1;
    }
    // Only tells whether something is attached; the ids switched are the
    // caller's.
    uint16_t attached_vid = 0;
    uint16_t attached_pid = 0;
    if (probe_attached_dev(&attached_vid, &attached_pid) == 0) {
        EK_ERR("usb_modem: failed to switch mode, no usb device attach.");
        return -1;
    }
    char cmd[kModeSwitchCmdSize];
    // A longer command is cut to its first 320 characters.
    (void)snprintf(cmd, sizeof cmd, "%s -v 0x%x -p 0x%x -M \"%s\"", "usb_modeswitch -Q",
                   static_cast<unsigned>(vid), static_cast<unsigned>(pid), message);
    int32_t rc = ek_system(cmd);
    if (rc != 0) {
        EK_ERR("usb_modem: Got error %d running usb_modeswitch: %s", rc, cmd);
        return -1;
    }
    return 0;
}

int ek_brd_lib_usb_modem_get_ttydev_count(void) {
    int result = -1;
    read_command_output(kCountJob, [&](FILE *f, char **line, size_t *cap) {
        if (getline(line, cap, f) != -1) result = static_cast<int>(strtol(*line, nullptr, 10));
    });
    return result;
}

}  // extern "C"
