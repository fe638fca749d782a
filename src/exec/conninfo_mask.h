#pragma once
// Connection strings are printed and logged; the passwords in them never are.

#include <string>

namespace vantrel {

// The connection string with every password libpq would read from it replaced by
// "********", all other bytes as given: the value of password (and of the other secret
// keywords) in the key=value form, and in a postgresql:// or postgres:// URI the password
// of user:password@ and of a password query parameter. A string libpq would refuse is
// masked from the point where it stops making sense, so a password in it is never shown.
// Never throws but bad_alloc.
std::string mask_conninfo_passwords(const std::string& conninfo);

}  // namespace vantrel
