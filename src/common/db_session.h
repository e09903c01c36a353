// One database open for the length of one call.
#pragma once

#include <string.h>
#include <array>

#include "platform/ek_db.h"
#include "platform/ek_platform.h"

namespace ek {

// Every database path is formatted with "%s" into a zero-filled buffer of
// this size; the same buffer is what open-failure messages quote.
inline constexpr size_t kDbPathSize = 128;

struct DbPath {
    std::array<char, kDbPathSize> text{};
    explicit DbPath(const char *path) { ek_sprintf(text.data(), "%s", path); }
    const char *c_str() const { return text.data(); }
};

// Opens in the constructor (mode 5), closes exactly once in the destructor.
class DbSession {
public:
    explicit DbSession(const DbPath &path) : db_(ek_db_open_ex(path.c_str(), EK_DB_MODE)) {}
    DbSession(const DbSession &) = delete;
    DbSession &operator=(const DbSession &) = delete;
    ~DbSession() {
        if (db_ != nullptr) ek_db_close(db_);
    }
    explicit operator bool() const { return db_ != nullptr; }
    ek_db_handle_t get() const { return db_; }

private:
    ek_db_handle_t db_;
};

}  // namespace ek
