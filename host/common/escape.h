// Text that came from outside (a key, another process's command name) made
// safe for a terminal and the log.
#pragma once

#include <stddef.h>

namespace ek::host {

// Writes len bytes of text to out as they are when they are printable ASCII
// or valid UTF-8 of a printable character; every other byte (controls,
// C1 controls, broken sequences) and the backslash and double quote, which
// would make an escape ambiguous or end a quoted field, as \xNN. out needs
// room for 4 * len + 1 bytes; the result is terminated.
void escape_text(const unsigned char *text, size_t len, char *out);

}  // namespace ek::host
