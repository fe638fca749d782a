#pragma once
// Connection strings are printed and logged; the passwords in them never are.

#include <string>

namespace vantrel {

// The connection string with every password libpq would read from it replaced by
// "********", all other bytes as given: the value of password (and of the other secret
// keywords) in the key=value form, and in a postgresql:// or postgres:// URI the password
// of user:password@ and of a password query parameter, each as far as a password written with
// a raw '/', '@', '?' or '&' could reach. A string libpq would refuse is
// masked from the point where it stops making sense, so a password in it is never shown.
// Never throws but bad_alloc.
std::string mask_conninfo_passwords(const std::string& conninfo);

// A message about conninfo (libpq's error text when it refuses the string or cannot connect)
// with the secrets hidden only where the message repeats the part of conninfo that holds
// them, every other byte as libpq or the server wrote it. When libpq refuses conninfo, that
// is a quoted fragment of it (a keyword, the URI, a parameter, a token) whose bytes
// mask_conninfo_passwords hides; when libpq accepts it, that is a value read from it which
// swallowed a password ("password=" inside a database, role or host name, a URI with
// credentials as a database name, a URI's host, port or database that took in a piece of
// such a password), named back by the server or by libpq. A password that
// the message holds only by chance (inside a port, a host name or libpq's own wording)
// stays. Never throws but bad_alloc.
std::string mask_conninfo_passwords_in(const std::string& message, const std::string& conninfo);

}  // namespace vantrel
