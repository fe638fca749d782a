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

// A message about conninfo (libpq's error text when it refuses the string or cannot connect)
// with every repetition of what mask_conninfo_passwords hides in conninfo replaced by the
// same "********": the hidden text wherever it stands, any part of it that the message quotes
// (libpq quotes the keyword, value or URI part where it stopped), and as much of it as follows
// a "password=" of the message (a value that swallowed the password, named by the server).
// All other bytes stay as they are. Never throws but bad_alloc.
std::string mask_conninfo_passwords_in(const std::string& message, const std::string& conninfo);

}  // namespace vantrel
