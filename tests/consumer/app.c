/* The smallest user of an installed libek_brd: built against the install
 * prefix only, with pkg-config or with find_package(ek_brd). */
#include <ek_brd.h>
#include <stdio.h>

int main(void) {
    if (ek_brd_get_cpe_shm_data() == NULL) {
        fputs("consumer: cannot attach the CPE segment\n", stderr);
        return 1;
    }
    ek_brd_set_brd_auth(42);
    if (ek_brd_get_brd_auth() != 42) {
        fputs("consumer: brd auth did not round-trip\n", stderr);
        return 1;
    }
    printf("consumer: CPE segment attached, %d WAN interfaces\n", ek_brd_get_wanif_count());
    return 0;
}
