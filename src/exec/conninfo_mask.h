#pragma once
// Connection strings are printed and logged; the passwords in them never are.

#include <string>

namespace vantrel {

// The connection string with every password libpq could read from it replaced by
// "********": the password keyword of the key=value form (dbname values included, since
// they may hold a whole connection string), and in a postgresql:// or postgres:// URI the
// password of user:password@ and a password query parameter. A string that libpq would
// refuse is masked from the point where it stops making sense. Never throws but bad_alloc.
std::string mask_conninfo_passwords(const std::string& conninfo);

}  // namespace vantrel
