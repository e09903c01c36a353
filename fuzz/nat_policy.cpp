// Table operations and another process's raw slot writes against a byte model
// of the table and 1 KB on either side: its answers, and no other byte changed.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ek_brd.h"

constexpr int kSlots = EK_BRD_CPE_NAT_POLICY_MAX;
constexpr uint32_t kTable = EK_BRD_CPE_NAT_TABLE_OFFSET, kLo = kTable - 1024;
constexpr uint32_t kHi = EK_BRD_CPE_BRD_AUTH_OFFSET + 4 + 1024;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static auto *seg = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
    for (uint32_t i = kLo; i < kHi; i++) seg[i] = static_cast<uint8_t>(i * 31 + 7);
    memset(seg + kTable, 0, 40 * kSlots);
    std::vector<uint8_t> model(seg + kLo, seg + kHi);
    auto slot = [&](int i) { return reinterpret_cast<char *>(&model[kTable - kLo + 40 * i]); };
    // The lowest slot with that name (for "" the lowest free slot), or -1.
    auto find = [&](const char *name) {
        int i = 0;
        while (i < kSlots && std::string(slot(i), strnlen(slot(i), 33)) != name) i++;
        return i < kSlots ? i : -1;
    };
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
        int op = in.ConsumeIntegralInRange(0, 5), id = in.ConsumeIntegralInRange(-2, kSlots + 3);
        std::string name = in.ConsumeRandomLengthString(48);
        const char *c_name = name.c_str();
        int32_t type = in.ConsumeIntegral<int32_t>(), want = 0, got = 0;
        char *at = id >= 1 && id <= kSlots ? slot(id - 1) : nullptr;
        int named = c_name[0] == 0 ? -1 : find(c_name);
        if (op == 0) {
            want = find("") + 1;
            got = ek_brd_cpe_shm_request_nat_policy_id();
        } else if (op == 1) {
            ek_brd_cpe_shm_save_nat_policy(id, c_name, type);
            if (at != nullptr) {
                strncpy(at, c_name, 33);
                at[32] = 0;
                memcpy(at + 36, &type, sizeof type);
            }
        } else if (op == 2) {
            ek_brd_cpe_shm_delete_nat_policy(id);
            if (at != nullptr) memset(at, 0, 40);
        } else if (op == 3) {
            want = named + 1;
            got = ek_brd_cpe_shm_get_nat_policy_id(c_name);
        } else if (op == 4) {
            auto intf = in.PickValueInArray<std::string>({"tunnel0", "tunnel", "Tunnel0", name});
            if (named >= 0) memcpy(&type, slot(named) + 36, sizeof type);
            want = named >= 0 && type == (intf.starts_with("tunnel") ? 1 : 2);
            got = ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface(c_name, intf.c_str());
        } else if (at != nullptr) {
            name.resize(40);
            memcpy(seg + kTable + 40 * (id - 1), name.data(), 40);
            memcpy(at, name.data(), 40);
        }
        if (got != want || memcmp(seg + kLo, model.data(), model.size()) != 0) abort();
    }
    return 0;
}
