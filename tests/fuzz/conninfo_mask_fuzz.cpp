// Password masking against libpq's own reading of the connection string (PQconninfoParse):
// for every string libpq accepts,
//  - no secret survives: each option libpq shows as '*' (PQconndefaults' dispchar) reads
//    back from the masked string as "********", and its value, where it is distinctive
//    text, appears nowhere in the masked string;
//  - nothing else changes: every other option reads back exactly as before.
// The masker's deliberate excesses are allowed and nothing more: once a value holds
// "password" followed by '=', the rest may be hidden; in a URI with an '@' past the one that
// ends libpq's credentials, everything up to the last '@' may be hidden (a password written
// with a raw '@' or '/', whose pieces libpq reads as host, port or database); an empty password
// shows as masked too;
// a key=value value that is itself a URI has its own secrets masked, and is checked as a
// connection string of its own.
// Messages about the string, masked for the outcome, are checked both ways: the secret never
// survives where the message repeats the part of the string that holds it, and where the
// message holds the password only by chance (in another value, in libpq's wording) it comes
// out unchanged. For a string libpq refuses, the message is libpq's refusal; for one it
// accepts, a server's and libpq's texts that echo its host, port, database and role.

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "exec/conninfo_mask.h"
#include "fuzz/fuzz_check.h"

namespace {

using vantrel::fuzz::printable;
using Options = std::map<std::string, std::string>;

constexpr const char* mask = "********";

// libpq's reading of text: every option given a value, or nullopt when libpq refuses it.
std::optional<Options> libpq_reading(const std::string& text) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(text.c_str(), &error);
    if (error != nullptr) PQfreemem(error);
    if (options == nullptr) return std::nullopt;
    Options values;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (option->val != nullptr) values[option->keyword] = option->val;
    }
    PQconninfoFree(options);
    return values;
}

// The keywords libpq itself hides when it shows a connection's settings.
const std::set<std::string>& secret_keywords() {
    static const std::set<std::string> secrets = [] {
        std::set<std::string> found;
        PQconninfoOption* defaults = PQconndefaults();
        for (const PQconninfoOption* option = defaults; option && option->keyword; ++option) {
            if (option->dispchar != nullptr && option->dispchar[0] == '*') found.insert(option->keyword);
        }
        PQconninfoFree(defaults);
        FUZZ_REQUIRE(found.count("password") == 1, "libpq hides no password keyword");
        return found;
    }();
    return secrets;
}

bool is_uri(const std::string& text) {
    return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int count_of(const std::string& text, const std::string& part);

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string percent_decoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// "password" anywhere, or a secret keyword of newer libpq releases, read as the masker reads
// a mistyped keyword: percent-decoded, blanks, quotes and backslashes dropped, any case.
int password_mentions(const std::string& text) {
    std::string plain;
    for (const char c : lower(percent_decoded(text))) {
        if (!is_blank(c) && c != '\'' && c != '"' && c != '\\') plain += c;
    }
    return count_of(plain, "password") + count_of(plain, "oauth_client_secret") +
           count_of(plain, "scram_client_key") + count_of(plain, "scram_server_key");
}

// Every keyword=value of a key=value string libpq accepted, in order (values as libpq
// reads them, overridden ones included): keyword, blanks, '=', blanks, then a bare value up
// to a blank or a single-quoted one, with backslash escapes in both.
std::vector<std::pair<std::string, std::string>> assignments(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> found;
    std::size_t pos = 0;
    const auto skip_blanks = [&] {
        while (pos < text.size() && is_blank(text[pos])) ++pos;
    };
    while (true) {
        skip_blanks();
        if (pos >= text.size()) return found;
        std::string keyword;
        while (pos < text.size() && text[pos] != '=' && !is_blank(text[pos])) keyword += text[pos++];
        skip_blanks();
        ++pos;  // '='
        skip_blanks();
        std::string value;
        const bool quoted = pos < text.size() && text[pos] == '\'';
        if (quoted) ++pos;
        while (pos < text.size() && (quoted ? text[pos] != '\'' : !is_blank(text[pos]))) {
            if (text[pos] == '\\' && pos + 1 < text.size()) ++pos;
            value += text[pos++];
        }
        if (quoted) ++pos;
        found.emplace_back(keyword, value);
    }
}

// Whether the masker may hide more than the secrets: past a value that mentions a password
// without being one. In a URI, where the masker reads "key=value" after any '?' or '&' as a
// parameter, a mention of "password" beyond the secrets libpq found counts.
bool may_hide_more(const std::string& text, const Options& reading) {
    if (!is_uri(text)) {
        for (const auto& [keyword, value] : assignments(text)) {
            if (secret_keywords().count(keyword) == 0 && password_mentions(value) > 0) return true;
        }
        return false;
    }
    // libpq: user info up to the first '@' before any '/', parameters from the next '?'.
    const std::size_t authority = text.find("://") + 3;
    const std::size_t at = text.find('@', authority);
    const std::size_t slash = text.find('/', authority);
    const std::size_t hosts = at != std::string::npos && at < slash ? at + 1 : authority;
    const std::size_t question = std::min(text.find('?', hosts), text.size());
    const std::string parameters = text.substr(question);
    int keys = 0;
    for (const std::string& keyword : secret_keywords()) {
        keys += count_of(parameters, "?" + keyword + "=") + count_of(parameters, "&" + keyword + "=");
    }
    (void)reading;
    return password_mentions(text.substr(0, question)) > 0 || password_mentions(parameters) > keys;
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Distinctive enough that finding it in the masked string means the secret leaked.
bool distinctive(const std::string& secret, const std::string& original) {
    return secret.size() >= 4 && count_of(original, secret) == 1 &&
           std::all_of(secret.begin(), secret.end(), [](unsigned char c) { return std::isalnum(c) != 0; });
}

// A password written with a raw '@' or '/' reaches up to the last '@', past the one that ends
// libpq's credentials (the first '@' before any '/').
bool last_at_beyond_credentials(const std::string& uri) {
    const std::size_t authority = uri.find("://") + 3;
    const std::size_t at = uri.find('@', authority);
    const std::size_t last = uri.rfind('@');
    return last != std::string::npos && last >= authority && (at > uri.find('/', authority) || last != at);
}

void check(const std::string& original, const std::string& masked, int depth) {
    const std::string where = "\n  original: " + printable(original) + "\n  masked:   " + printable(masked);
    const std::optional<Options> before = libpq_reading(original);
    if (!before) return;

    for (const std::string& keyword : secret_keywords()) {
        const auto secret = before->find(keyword);
        if (secret != before->end() && distinctive(secret->second, original)) {
            FUZZ_REQUIRE(masked.find(secret->second) == std::string::npos, keyword + " shown" + where);
        }
    }
    // Past a value that mentions a password, the masker may hide the rest; libpq may then
    // refuse the masked string, and the check above is all that holds.
    if (may_hide_more(original, *before)) return;
    // An '@' past libpq's credentials: everything up to the last one may be hidden.
    if (is_uri(original) && last_at_beyond_credentials(original)) return;

    const std::optional<Options> after = libpq_reading(masked);
    FUZZ_REQUIRE(after.has_value(), "libpq refuses the masked string" + where);
    std::set<std::string> keywords;
    for (const auto& entry : *before) keywords.insert(entry.first);
    for (const auto& entry : *after) keywords.insert(entry.first);
    for (const std::string& keyword : keywords) {
        const auto old_value = before->find(keyword);
        const auto new_value = after->find(keyword);
        const bool had = old_value != before->end();
        const bool has = new_value != after->end();
        if (secret_keywords().count(keyword)) {
            // An empty password, which libpq does not even store, is shown masked too.
            FUZZ_REQUIRE(!had || has, keyword + " vanished" + where);
            if (has) FUZZ_REQUIRE(new_value->second == mask, keyword + " reads '" + printable(new_value->second) + "'" + where);
            continue;
        }
        FUZZ_REQUIRE(had == has, keyword + " appeared or vanished" + where);
        if (!had) continue;
        // libpq's PQconnectdb never reads a value as a connection string of its own; the masker
        // still masks a URI given as a key=value value, so that one is checked as such.
        if (!is_uri(original) && is_uri(old_value->second) && depth == 0) {
            check(old_value->second, new_value->second, depth + 1);
            continue;
        }
        FUZZ_REQUIRE(old_value->second == new_value->second,
                     keyword + " changed: '" + printable(old_value->second) + "' -> '" + printable(new_value->second) + "'" + where);
    }
}

// Runs of letters and digits that hold both, and so cannot come from libpq's own wording.
std::vector<std::string> distinctive_tokens(const std::string& text) {
    std::vector<std::string> tokens;
    std::string run;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const unsigned char c = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
        if (c != 0 && std::isalnum(c)) {
            run += static_cast<char>(c);
            continue;
        }
        const bool digit = std::any_of(run.begin(), run.end(), [](unsigned char d) { return std::isdigit(d); });
        const bool letter = std::any_of(run.begin(), run.end(), [](unsigned char l) { return std::isalpha(l); });
        if (run.size() >= 4 && digit && letter && run != "IPv6") tokens.push_back(run);
        run.clear();
    }
    return tokens;
}

// What libpq says when it refuses the string, masked for the outcome: a secret never shows
// where it is echoed (no distinctive token missing from the masked string), and nothing but
// the fragments libpq quotes from the string changes: its wording before the first and after
// the last quote stays, a message that repeats a whole URI repeats it masked (libpq quotes a
// URI whole; a key=value string may stand between two quotes of its wording by chance), and a
// message that owes nothing to the hidden bytes (libpq refuses the masked string alike), or a
// string with nothing hidden, leaves the message as it is.
void check_error_text(const std::string& original, const std::string& masked) {
    char* error = nullptr;
    PQconninfoFree(PQconninfoParse(original.c_str(), &error));
    if (error == nullptr) return;
    const std::string message = error;
    PQfreemem(error);
    const std::string shown = vantrel::mask_conninfo_passwords_in(message, original);
    const std::string where = "\n  original: " + printable(original) + "\n  message:  " + printable(message) +
                              "\n  shown:    " + printable(shown);
    for (const std::string& token : distinctive_tokens(original)) {
        if (masked.find(token) != std::string::npos) continue;
        FUZZ_REQUIRE(shown.find(token) == std::string::npos, "'" + token + "' shown in the message" + where);
    }
    char* masked_error = nullptr;
    PQconninfoFree(PQconninfoParse(masked.c_str(), &masked_error));
    const bool same_refusal = masked_error != nullptr && message == masked_error;
    PQfreemem(masked_error);
    if (masked == original || same_refusal) FUZZ_REQUIRE(shown == message, "message changed" + where);
    const std::size_t first = message.find('"');
    const std::size_t last = message.rfind('"');
    if (first == std::string::npos) {
        FUZZ_REQUIRE(shown == message, "unquoted message changed" + where);
        return;
    }
    FUZZ_REQUIRE(shown.compare(0, first, message, 0, first) == 0, "wording before the quotes changed" + where);
    const std::size_t tail = message.size() - last;
    FUZZ_REQUIRE(shown.size() >= tail && shown.compare(shown.size() - tail, tail, message, last, tail) == 0,
                 "wording after the quotes changed" + where);
    if (is_uri(original) && message.find('"' + original + '"') != std::string::npos) {
        FUZZ_REQUIRE(shown.find('"' + masked + '"') != std::string::npos, "repeated string not masked alike" + where);
    }
}

// A value as the masked string would show it, when it swallowed a password: after a
// "password=" inside it (any case, blanks, quotes or backslashes before the '='), all is
// hidden; a URI's credentials are hidden as in a connection string. Any other value as is.
std::string echo_reference(const std::string& value) {
    const std::string low = lower(value);
    for (std::size_t at = low.find("password"); at != std::string::npos; at = low.find("password", at + 1)) {
        std::size_t after = at + 8;
        while (after < low.size() && (is_blank(low[after]) || low[after] == '\'' || low[after] == '"' || low[after] == '\\')) ++after;
        if (after < low.size() && low[after] == '=') return value.substr(0, after + 1) + mask;
    }
    return is_uri(value) ? vantrel::mask_conninfo_passwords(value) : value;
}

std::string value_or(const Options& options, const std::string& keyword, const std::string& fallback) {
    const auto found = options.find(keyword);
    return found == options.end() ? fallback : found->second;
}

// What a server and libpq say about an accepted string: its host, port, database and role
// echoed, the role cut at 63 bytes as the server cuts names.
std::string server_text(const std::string& host, const std::string& port, const std::string& dbname,
                        const std::string& role, const std::string& user) {
    return "connection to server at \"" + host + "\" (127.0.0.1), port " + port +
           " failed: FATAL:  database \"" + dbname + "\" does not exist\nconnection to server on socket \"" +
           host + "/.s.PGSQL." + port + "\" failed: FATAL:  role \"" + role +
           "\" does not exist\npassword authentication failed for user \"" + user + "\"\n";
}

// Server texts for an accepted string: a secret that a value swallowed never shows where the
// value is echoed, nor does a piece of what a masked URI hides; where no value swallowed
// one (nor a piece of a password written with a raw '@' or '/') the text comes out unchanged,
// however often the password stands in it by chance (in a host, a port, a name or the wording).
void check_server_text(const std::string& original, const std::string& masked) {
    const std::optional<Options> reading = libpq_reading(original);
    if (!reading) return;
    const std::string host = value_or(*reading, "host", "localhost");
    const std::string port = value_or(*reading, "port", "5432");
    const std::string user = value_or(*reading, "user", "postgres");
    const std::string dbname = value_or(*reading, "dbname", user);
    const std::string role = user.substr(0, 63);
    const std::string message = server_text(host, port, dbname, role, user);
    const std::string reference = server_text(echo_reference(host), echo_reference(port), echo_reference(dbname),
                                              echo_reference(role), echo_reference(user));
    const std::string shown = vantrel::mask_conninfo_passwords_in(message, original);
    const std::string where = "\n  original: " + printable(original) + "\n  message:  " + printable(message) +
                              "\n  shown:    " + printable(shown);
    // In a URI the masked string may hide more than libpq's secrets, and values hold it.
    const bool hides_more =
        is_uri(original) && (last_at_beyond_credentials(original) || may_hide_more(original, *reading));
    if (reference == message && !hides_more) {
        FUZZ_REQUIRE(shown == message, "server text changed" + where);
        return;
    }
    for (const std::string& token : distinctive_tokens(message)) {
        // In a URI what the masked string hides is all password; in the key=value form it may be
        // the rest of the string after a value that swallowed one.
        const bool masked_away = is_uri(original) && percent_decoded(original).find(token) != std::string::npos &&
                                 percent_decoded(masked).find(token) == std::string::npos;
        if (reference.find(token) != std::string::npos && !masked_away) continue;
        FUZZ_REQUIRE(shown.find(token) == std::string::npos, "'" + token + "' shown in the server text" + where);
    }
    // A value may repeat by chance what leads up to another's secret, and the secret may run
    // on into the wording after it: only the wording's first and last bytes are sure to stay.
    const std::string opening = "connection to server at \"";
    const std::string closing = "\n";
    FUZZ_REQUIRE(shown.compare(0, opening.size(), opening) == 0 && shown.size() >= closing.size() &&
                     shown.compare(shown.size() - closing.size(), closing.size(), closing) == 0,
                 "server wording changed" + where);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // libpq's parser stops at the first NUL, as a C string does.
    const std::string original(reinterpret_cast<const char*>(data),
                               std::find(data, data + size, 0) - data);
    const std::string masked = vantrel::mask_conninfo_passwords(original);
    check(original, masked, 0);
    check_error_text(original, masked);
    check_server_text(original, masked);
    return 0;
}
