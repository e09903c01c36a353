// The exported header must also be plain C++.
#include "ek_brd.h"
