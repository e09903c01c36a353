// The NAT policy table driven by a sequence of operations, including raw
// slot writes as another process of the platform might make them, against
// a byte model of the whole CPE segment: every answer must be the model's
// and no operation may change a byte the model does not.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ek_brd.h"
#include "fuzz_platform.h"

namespace {

constexpr int kSlots = EK_BRD_CPE_NAT_POLICY_MAX;
constexpr uint32_t kSlotSize = 40;
// The window of the segment the model follows: the table with 1 KB of
// marked bytes on either side, the brd auth value among them. Writes
// further away would land outside the allocation and trip the sanitizer.
constexpr uint32_t kLo = EK_BRD_CPE_NAT_TABLE_OFFSET - 1024;
constexpr uint32_t kHi = EK_BRD_CPE_BRD_AUTH_OFFSET + 4 + 1024;

void check(bool ok) {
    if (!ok) abort();
}

struct Model {
    std::vector<uint8_t> seg;

    uint8_t *slot(int index) {
        return seg.data() + (EK_BRD_CPE_NAT_TABLE_OFFSET - kLo) + kSlotSize * index;
    }
    bool used(int index) { return slot(index)[0] != 0; }
    int32_t type(int index) {
        int32_t t;
        memcpy(&t, slot(index) + 36, sizeof t);
        return t;
    }
    int find(const std::string &name) {
        for (int i = 0; i < kSlots; i++) {
            const char *n = reinterpret_cast<const char *>(slot(i));
            if (used(i) && strnlen(n, 33) == name.size() &&
                memcmp(n, name.data(), name.size()) == 0)
                return i;
        }
        return -1;
    }
};

std::string ifname(FuzzedDataProvider &in) {
    static const char *const kNames[] = {"tunnel0", "tunnel", "Tunnel0", "eth0", "tunne"};
    if (in.ConsumeBool()) return in.ConsumeRandomLengthString(20);
    return kNames[in.ConsumeIntegralInRange<size_t>(0, 4)];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static uint8_t *seg = [] {
        auto *base = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
        check(base != nullptr);
        // Every byte around the table holds a marker the operations must keep.
        for (uint32_t i = kLo; i < kHi; i++) base[i] = static_cast<uint8_t>(i * 31 + 7);
        return base;
    }();
    memset(seg + EK_BRD_CPE_NAT_TABLE_OFFSET, 0, kSlotSize * kSlots);
    Model model{std::vector<uint8_t>(seg + kLo, seg + kHi)};

    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: {
                int want = 0;
                for (int i = 0; i < kSlots && want == 0; i++) {
                    if (!model.used(i)) want = i + 1;
                }
                check(ek_brd_cpe_shm_request_nat_policy_id() == want);
                break;
            }
            case 1: {
                int id = in.ConsumeIntegralInRange<int>(-2, kSlots + 3);
                std::string name = in.ConsumeRandomLengthString(48);
                int32_t type = in.ConsumeIntegral<int32_t>();
                ek_brd_cpe_shm_save_nat_policy(id, name.c_str(), type);
                if (id >= 1 && id <= kSlots) {
                    uint8_t *s = model.slot(id - 1);
                    strncpy(reinterpret_cast<char *>(s), name.c_str(), 33);
                    s[32] = 0;
                    memcpy(s + 36, &type, sizeof type);
                }
                break;
            }
            case 2: {
                int id = in.ConsumeIntegralInRange<int>(-2, kSlots + 3);
                ek_brd_cpe_shm_delete_nat_policy(id);
                if (id >= 1 && id <= kSlots) memset(model.slot(id - 1), 0, kSlotSize);
                break;
            }
            case 3: {
                std::string name = in.ConsumeRandomLengthString(48);
                int i = model.find(name.c_str());
                check(ek_brd_cpe_shm_get_nat_policy_id(name.c_str()) == i + 1);
                break;
            }
            case 4: {
                std::string policy = in.ConsumeRandomLengthString(48);
                std::string intf = ifname(in);
                int i = model.find(policy.c_str());
                int32_t t = i < 0 ? -1 : model.type(i);
                bool tunnel = strncmp(intf.c_str(), "tunnel", 6) == 0;
                int want = t == (tunnel ? 1 : 2) ? 1 : 0;
                check(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface(
                          policy.c_str(), intf.c_str()) == want);
                break;
            }
            case 5: {
                int id = in.ConsumeIntegralInRange<int>(-2, kSlots + 3);
                char *got = ek_brd_cpe_shm_get_nat_policy_name(id);
                if (id >= 1 && id <= kSlots) {
                    check(got == reinterpret_cast<char *>(seg + EK_BRD_CPE_NAT_TABLE_OFFSET +
                                                          kSlotSize * (id - 1)));
                } else if (id > kSlots) {
                    check(got == nullptr);
                }
                break;
            }
            case 6: {
                int index = in.ConsumeIntegralInRange<int>(-2, kSlots + 1);
                std::string prefix = in.ConsumeRandomLengthString(20);
                char buf[160] = {};
                snprintf(buf, sizeof buf, "%s", prefix.c_str());
                std::string want = buf;
                ek_brd_cpe_shm_get_nat_policy_output(index, buf);
                if (index >= 0 && index < kSlots && model.used(index)) {
                    char line[96];
                    snprintf(line, sizeof line, "\tnat_policy_id|name|type: %d|%.*s|%d\n",
                             index + 1, 32, reinterpret_cast<const char *>(model.slot(index)),
                             model.type(index));
                    want += line;
                }
                check(want == buf);
                break;
            }
            default: {
                int index = in.ConsumeIntegralInRange<int>(0, kSlots - 1);
                std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(kSlotSize);
                raw.resize(kSlotSize);
                memcpy(seg + EK_BRD_CPE_NAT_TABLE_OFFSET + kSlotSize * index, raw.data(),
                       kSlotSize);
                memcpy(model.slot(index), raw.data(), kSlotSize);
                break;
            }
        }
        check(memcmp(seg + kLo, model.seg.data(), model.seg.size()) == 0);
    }
    return 0;
}
