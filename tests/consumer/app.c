/* The smallest user of an installed libek_brd. */
#include <ek_brd.h>
#include <stdio.h>

int main(void) {
    if (ek_brd_get_cpe_shm_data() == NULL) return 1;
    printf("consumer: CPE segment attached, %d WAN interfaces\n", ek_brd_get_wanif_count());
    return 0;
}
