# Flags every target of the project builds with.
set(EK_WARNINGS -Wall -Wextra -Werror -Wformat=2 -Wformat-security -Wshadow
    -Wcast-align -Wundef)

# The library proper: no exceptions, no RTTI, nothing exported by default,
# no C++ runtime at run time.
set(EK_LIB_CXX_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fvisibility=hidden -fvisibility-inlines-hidden)
