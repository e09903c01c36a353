// NAT policy lookups used inside the library only.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// The type of the lowest used slot named exactly `name`, -1 when there is
// none or the CPE segment is not attached. Not exported.
int ek_brd_cpe_shm_get_nat_policy_type(const char *name);

#ifdef __cplusplus
}
#endif
