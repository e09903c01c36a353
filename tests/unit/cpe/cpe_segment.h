// The CPE segment as the tests see it. The library attaches it once per
// process and keeps the address, while fake::reset() unmaps the fake's
// segments, so every case that touches the library's CPE state runs in a
// forked child: the segment is made in the parent (children attach that same
// shared memory) and stays readable there after the child is gone.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include "ek_brd.h"
#include "fake_platform.h"

namespace cpe_test {

struct Segment {
    uint8_t *base = nullptr;

    static Segment make() {
        return {
            static_cast<uint8_t *>(fake::shared_segment(EK_BRD_CPE_SHM_KEY, EK_BRD_CPE_SHM_SIZE))};
    }
    void set_word(uint32_t offset, uint32_t v) const { memcpy(base + offset, &v, sizeof v); }
};

}  // namespace cpe_test
