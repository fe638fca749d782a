#include "exec/conninfo_mask.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

namespace vantrel {
namespace {

constexpr std::string_view mask = "********";

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Keywords whose value is a secret. libpq's keywords are case-sensitive; matching any case
// masks a misspelt one too.
bool is_password_keyword(std::string_view keyword) {
    static constexpr std::string_view secrets[] = {"password", "sslpassword", "oauth_client_secret",
                                                   "scram_client_key", "scram_server_key"};
    for (const std::string_view secret : secrets) {
        if (equals_ignoring_case(keyword, secret)) return true;
    }
    return false;
}

// Every keyword libpq knows (newer releases' included); any other makes libpq refuse the
// string, so it counts as the point where the string stops making sense.
bool is_keyword(std::string_view word) {
    static constexpr std::string_view known[] = {
        "service", "user", "password", "passfile", "channel_binding", "connect_timeout",
        "dbname", "host", "hostaddr", "port", "client_encoding", "options", "application_name",
        "fallback_application_name", "keepalives", "keepalives_idle", "keepalives_interval",
        "keepalives_count", "tcp_user_timeout", "sslmode", "sslcompression", "sslcert", "sslkey",
        "sslpassword", "sslrootcert", "sslcrl", "sslcrldir", "sslsni", "requirepeer",
        "ssl_min_protocol_version", "ssl_max_protocol_version", "gssencmode", "krbsrvname",
        "gsslib", "gssdelegation", "replication", "target_session_attrs", "require_auth",
        "sslcertmode", "load_balance_hosts", "sslnegotiation", "sslkeylogfile",
        "min_protocol_version", "max_protocol_version", "oauth_issuer", "oauth_client_id",
        "oauth_client_secret", "oauth_scope", "scram_client_key", "scram_server_key"};
    for (const std::string_view keyword : known) {
        if (equals_ignoring_case(word, keyword)) return true;
    }
    return false;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool is_uri(std::string_view conninfo) {
    return starts_with(conninfo, "postgresql://") || starts_with(conninfo, "postgres://");
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const int lower = std::tolower(static_cast<unsigned char>(c));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

std::string percent_decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct Span {
    std::size_t begin;
    std::size_t end;
};

// Values of password parameters in "key=value&key=value"; keys may be percent-encoded.
void add_parameter_secrets(std::string_view uri, std::size_t start, std::vector<Span>& secrets) {
    while (start <= uri.size()) {
        std::size_t end = uri.find('&', start);
        if (end == std::string_view::npos) end = uri.size();
        const std::string_view pair = uri.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos &&
            is_password_keyword(percent_decoded(pair.substr(0, equals)))) {
            secrets.push_back({start + equals + 1, end});
        }
        start = end + 1;
    }
}

// postgresql://[user[:password]@]host...[/dbname][?parameters]. Both readings of an odd
// URI are masked: credentials up to the last '@' before the path, and parameters from the
// first '?', wherever that '@' stands.
std::string mask_uri(std::string_view uri) {
    const std::size_t authority = uri.find("://") + 3;
    std::vector<Span> secrets;
    const std::size_t path = uri.find('/', authority);
    const std::size_t at = uri.substr(0, path).rfind('@');
    if (at != std::string_view::npos && at >= authority) {
        const std::size_t colon = uri.substr(0, at).find(':', authority);
        if (colon != std::string_view::npos) secrets.push_back({colon + 1, at});
    }
    const std::size_t question = uri.find('?', authority);
    if (question != std::string_view::npos) add_parameter_secrets(uri, question + 1, secrets);

    std::sort(secrets.begin(), secrets.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin; });
    std::string out;
    std::size_t copied = 0;
    for (const Span& secret : secrets) {
        if (secret.end <= copied) continue;
        const std::size_t begin = std::max(secret.begin, copied);
        out += uri.substr(copied, begin - copied);
        if (begin == secret.begin) out += mask;
        copied = secret.end;
    }
    out += uri.substr(copied);
    return out;
}

// Reads the key=value form as libpq does: keyword, optional blanks, '=', optional blanks,
// then a value, single-quoted or bare, with backslash escapes in both.
class KeyValueMasker {
public:
    explicit KeyValueMasker(std::string_view text) : text(text) {}

    std::string run() {
        while (true) {
            skip_spaces();
            if (at_end()) return out;
            if (!copy_pair()) {
                // From here on libpq would refuse the string: show none of it.
                out += mask;
                return out;
            }
        }
    }

private:
    bool copy_pair() {
        const std::size_t keyword_start = pos;
        while (!at_end() && !is_space(text[pos]) && text[pos] != '=') ++pos;
        const std::string_view keyword = text.substr(keyword_start, pos - keyword_start);
        pass_spaces();
        if (!is_keyword(keyword) || at_end() || text[pos] != '=') return rewind_to(keyword_start);
        ++pos;
        pass_spaces();
        const std::size_t value_start = pos;
        const bool quoted = !at_end() && text[pos] == '\'';
        if (quoted ? !skip_quoted_value() : !skip_bare_value()) return rewind_to(keyword_start);
        out += text.substr(keyword_start, value_start - keyword_start);
        const std::string_view value = text.substr(value_start, pos - value_start);
        if (is_password_keyword(keyword)) {
            out += quoted ? "'" + std::string(mask) + "'" : std::string(mask);
        } else if (keyword == "dbname" &&
                   (value.find('=') != std::string_view::npos || value.find("://") != std::string_view::npos)) {
            // Such a dbname may itself be read as a whole connection string.
            out += quoted ? "'" + mask_conninfo_passwords(std::string(unquoted(value))) + "'"
                          : mask_conninfo_passwords(std::string(value));
        } else {
            out += value;
        }
        return true;
    }

    static std::string_view unquoted(std::string_view value) {
        return value.substr(1, value.size() - 2);
    }

    bool skip_quoted_value() {
        ++pos;
        while (!at_end()) {
            if (text[pos] == '\\') {
                pos += 2;
            } else if (text[pos++] == '\'') {
                return true;
            }
        }
        pos = text.size();
        return false;
    }

    bool skip_bare_value() {
        while (!at_end() && !is_space(text[pos])) pos += text[pos] == '\\' ? 2 : 1;
        if (pos > text.size()) pos = text.size();
        return true;
    }

    bool rewind_to(std::size_t start) {
        pos = start;
        return false;
    }

    void pass_spaces() {
        while (!at_end() && is_space(text[pos])) ++pos;
    }

    void skip_spaces() {
        const std::size_t start = pos;
        pass_spaces();
        out += text.substr(start, pos - start);
    }

    bool at_end() const { return pos >= text.size(); }

    std::string_view text;
    std::size_t pos = 0;
    std::string out;
};

}  // namespace

std::string mask_conninfo_passwords(const std::string& conninfo) {
    if (is_uri(conninfo)) return mask_uri(conninfo);
    return KeyValueMasker(conninfo).run();
}

}  // namespace vantrel
