/* Attaches the CPE segment through the platform and prints its header and
 * the two scalar values: the smallest program that uses libek_brd. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "ek_brd.h"

static int32_t word_at(const uint8_t *base, size_t offset) {
    int32_t w;
    memcpy(&w, base + offset, sizeof w);
    return w;
}

int main(void) {
    const uint8_t *cpe = (const uint8_t *)ek_brd_get_cpe_shm_data();
    if (cpe == NULL) {
        fprintf(stderr, "cpe_status: the CPE segment could not be attached\n");
        return 3;
    }
    printf("CPE header     : %d %d %d\n", (int)word_at(cpe, 0), (int)word_at(cpe, 4),
           (int)word_at(cpe, 8));
    printf("save-report    : %d\n", ek_brd_get_save_report_flag());
    printf("brd auth       : %d\n", ek_brd_get_brd_auth());
    return 0;
}
